// The write of the pending changes (i, e, n): which directories are
// re-packed where, the new data, the records and header fields that follow,
// and every check that refuses the write, all as ImageChanges laid over the
// changes that u or r make in the same output.
#pragma once

#include <string>
#include <vector>

#include "edit/patch_plan.h"
#include "edit/pending_changes.h"

namespace discshell {

struct TreeEditPlan {
  std::vector<PatchProblem> problems;
  ImageChanges changes;
};

/// Plans the pending changes over `base` and `records`, the changes u or r
/// make in the same output (none for a bare w). A directory that changes is
/// re-packed in its own blocks when the result fits, else moved whole to a
/// new stretch at the end, in every copy; new data goes to new stretches at
/// the end, after any of r's, and the header's block count covers them all.
/// r's changes of records in a directory that is re-packed go into it as
/// edits; the others are written where they stand.
[[nodiscard]] TreeEditPlan planTreeEdits(const ImageFile& image, const VolumeGeometry& geometry,
                                         const PendingChanges& pending, ImageChanges base,
                                         std::vector<RecordChange> records,
                                         const OutputPlace& output);

}  // namespace discshell
