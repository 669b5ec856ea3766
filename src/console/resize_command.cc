// r: make every changed entry exactly its local file, longer or shorter.
#include "console/patch_command.h"
#include "edit/resize_plan.h"

namespace discshell {

ShellStep resizeFromTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  return runPatchCommand(session, argument, planResize);
}

}  // namespace discshell
