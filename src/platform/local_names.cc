#include "platform/local_names.h"

#include <string>

#include "platform/utf8.h"

namespace discshell::platform {

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length =
        static_cast<unsigned char>(text.front()) < 0x80 ? 1 : utf8Sequence(text).length;
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

bool isWindowsDeviceName(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  if (!base.starts_with("COM") && !base.starts_with("LPT")) return false;
  const std::string_view number = std::string_view(base).substr(3);
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace discshell::platform
