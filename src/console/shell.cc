#include "console/shell.h"

#include <string>
#include <vector>

#include "console/commands.h"

namespace discshell {
namespace {

// One line without its line end ("\n" or "\r\n"); a last line without a line
// end still counts. No value at the end of input. Lines of any length are
// taken whole.
std::optional<std::string> readCommandLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  const bool endedByLineFeed = !in.eof();
  if (endedByLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string_view> commandArgument(std::string_view line) {
  const auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return line.substr(space + 1);
}

int runShell(Session& session, std::int32_t rootDirectoryOffset) {
  std::vector<std::int32_t> levels{rootDirectoryOffset};
  for (;;) {
    session.out << "?>" << std::flush;
    const auto line = readCommandLine(session.in);
    if (!line) {
      // The end of input ends the run as q does.
      session.out << "Exiting...\n";
      return 0;
    }
    const CommandHandler handler = line->empty() ? nullptr : findCommand(line->front());
    if (handler == nullptr) {
      session.out << "Invalid command";
      continue;
    }
    const ShellStep step = handler(session, levels.back(), commandArgument(*line));
    switch (step.kind) {
      case ShellStep::Kind::kPrompt:
        break;
      case ShellStep::Kind::kEnter:
        levels.push_back(step.directory);
        break;
      case ShellStep::Kind::kLeave:
        levels.pop_back();
        if (levels.empty()) return 0;
        break;
      case ShellStep::Kind::kQuit:
        return 0;
    }
  }
}

}  // namespace discshell
