#include "console/listing.h"

#include <string>

#include "volume/directory.h"

namespace discshell {
namespace {

// Like printf's "%-Ns" and "%Ns": pads to a width, never cuts.
std::string padRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}
std::string padLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace

void listDirectory(Session& session, std::int32_t directoryOffset) {
  std::ostream& out = session.out;
  out << '\n'
      << padRight("Name", 31) << ' ' << padRight("Type", 4) << "  " << padRight("Size", 9)
      << "        " << padRight("Block Address", 6) << "\n\n";
  walkDirectory(session.image, session.geometry, directoryOffset, [&](const DirectoryEntry& entry) {
    out << padRight(displayText(entry.name, session.terminalOutput), 31) << ' '
        << padRight(displayText(entry.type, session.terminalOutput), 4) << "  "
        << padLeft(std::to_string(entry.byteCount), 9) << " bytes  "
        << padRight(std::to_string(entry.startBlock), 6) << '\n';
    return WalkStep::kContinue;
  });
  out << '\n';
}

}  // namespace discshell
