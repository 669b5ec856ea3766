// What u and r share at the prompt: the plan's problems, the lines, and
// the output written or left as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "console/commands.h"
#include "transfer/patch_plan.h"

namespace discshell {

using PatchPlanner = PatchPlan (*)(const ImageFile& image, const VolumeGeometry& geometry,
                                   const platform::Directory& top, const PatchTarget& target,
                                   const OutputPlace& output);

/// Plans with `planner` for the argument (a path, or the current directory)
/// and writes the output only when the plan has no problem.
ShellStep runPatchCommand(Session& session, std::optional<std::string_view> argument,
                          PatchPlanner planner);

}  // namespace discshell
