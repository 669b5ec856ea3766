#include "console/session.h"

namespace discshell {

std::string displayText(std::string_view text, bool terminalOutput) {
  std::string shown(text);
  if (!terminalOutput) return shown;
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

}  // namespace discshell
