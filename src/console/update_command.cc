// u: patch every changed file of the local tree into output.iso.
#include "console/commands.h"

namespace discshell {

ShellStep updateFromTree(Session& session, std::int32_t, std::optional<std::string_view>) {
  session.fail("Invalid command");
  return ShellStep::kPrompt;
}

}  // namespace discshell
