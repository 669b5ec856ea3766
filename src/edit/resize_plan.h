// r: every changed file of the local tree made exactly its entry's data,
// longer or shorter: in place where it fits in the entry's blocks and
// disturbs nothing else, otherwise moved to new blocks at the end.
#pragma once

#include <string>

#include "edit/patch_plan.h"

namespace discshell {

/// Plans r. A changed file goes over the start of every copy of its entry
/// when its length fits in the entry's blocks (its byte count rounded up to
/// whole blocks, at least one) and the write meets no other entry's blocks
/// and no write of different bytes; otherwise its data moves behind both
/// the volume's and the image's end, each distinct block among its copies
/// to a new stretch of whole blocks of its own, and each copy number
/// becomes its stretch's first block. Entries that share their data and
/// change alike are written once. The entry's record (byte count, length in
/// blocks, copy numbers when moved) changes through the directory writer,
/// in every copy of its directory (the plan's `records`), and the header's
/// block count grows with the new stretches.
[[nodiscard]] PatchPlan planResize(const ImageFile& image, const VolumeGeometry& geometry,
                                   const platform::Directory& top, const PatchTarget& target,
                                   const OutputPlace& output);

}  // namespace discshell
