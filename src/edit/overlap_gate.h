// The one check every writer passes before a byte is written (w, u, r and
// the tree edits): each stretch an output rewrites where it stands belongs
// to what it rewrites and to nothing else the volume holds. Stretches
// written past the ends of the image and the volume, where nothing lives,
// need no check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "edit/patch_plan.h"
#include "volume/directory_map.h"

namespace discshell {

/// A stretch of the image an output writes over.
struct Rewrite {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  /// The directory whose copy it rewrites (by where that directory's copy 0
  /// begins), or none for a file's data, which the caller leaves out of the
  /// data it checks against.
  std::optional<std::int64_t> directory;
  std::string subject;  ///< the path a refusal names
  std::string what;     ///< what is written, as a refusal names it: "copy 1 of /D"
};

/// Checks each rewrite against the live stretches of the volume: the
/// header's bytes, block 0, every copy of every directory (the root's
/// included) but the one it rewrites, and `others`, the data of files that
/// meet the rewrites (from surveyVolume). One problem for each rewrite that
/// meets one: "SUBJECT: WHAT overlaps OTHER.".
[[nodiscard]] std::vector<PatchProblem> checkRewrites(const ImageFile& image,
                                                      const VolumeGeometry& geometry,
                                                      const DirectoryMap& directories,
                                                      const std::vector<OtherData>& others,
                                                      const std::vector<Rewrite>& rewrites);

/// The gate for u's and r's data written in place: each copy of each
/// changed entry, in whole blocks, against the header, block 0 and every
/// directory ("PATH: copy I overlaps the directory /D."); the data of other
/// entries u and r check themselves, where equal bytes may overlap.
void checkDataRewrites(const ImageFile& image, const VolumeGeometry& geometry,
                       const std::vector<ChangedEntry>& changed, const DirectoryMap& directories,
                       std::vector<PatchProblem>& problems);

}  // namespace discshell
