// What u and r share at the prompt: the plan's problems, the lines, and
// the output written or left as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "console/commands.h"
#include "edit/patch_plan.h"

namespace discshell {

using PatchPlanner = PatchPlan (*)(const ImageFile& image, const VolumeGeometry& geometry,
                                   const platform::Directory& top, const PatchTarget& target,
                                   const OutputPlace& output);

/// What writing the output came to, and the line that says so on success.
struct OutputWritten {
  WriteResult result;
  std::string message;
};

/// Writes the output of a plan's `changes`, whose local files lie below
/// `top`: the patched image, or with --patch the delta from the image to it.
[[nodiscard]] OutputWritten writeOutput(const Session& session, const platform::Directory& top,
                                        const ImageChanges& changes);

/// Plans with `planner` for the argument (a path, or the current directory)
/// and writes the output only when the plan has no problem.
ShellStep runPatchCommand(Session& session, std::optional<std::string_view> argument,
                          PatchPlanner planner);

}  // namespace discshell
