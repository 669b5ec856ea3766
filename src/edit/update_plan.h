// u: every changed file of the local tree put back over the start of every
// copy of its entry's data, the entry and everything else as they are.
#pragma once

#include <string>

#include "edit/patch_plan.h"

namespace discshell {

/// Plans u: every changed file no longer than its entry, written over each
/// copy. Refused: a longer file, a copy that meets the volume header, block
/// 0 or a directory, writes that overlap with different bytes, and a write
/// that changes the data of another entry that is not changed the same way.
[[nodiscard]] PatchPlan planUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                                   const platform::Directory& top, const PatchTarget& target,
                                   const OutputPlace& output);

}  // namespace discshell
