// --compare: what differs between the trees of two volumes, entry by entry,
// found in one walk of each tree in step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

/// One of the two volumes compared.
struct ComparedVolume {
  const ImageFile& image;
  const VolumeGeometry& geometry;
};

enum class DifferenceKind {
  kAdded,    ///< in OTHER only: a file of `newValue` bytes, or a directory of `newValue` entries
  kErased,   ///< in IMAGE only: a file, or a directory of `oldValue` entries
  kChanged,  ///< other bytes: `oldValue` and `newValue` are the byte counts
  kRenamed,  ///< an erased file and an added one of one directory hold the same bytes
  kKindChanged,  ///< a directory in one, a file in the other; `directory`: in IMAGE
  kMoved,        ///< with layout: other blocks for the copies both have
  kCopies,       ///< with layout: another number of copies, `oldValue` and `newValue`
  kType,         ///< with layout: another type field
  kBlockSize,    ///< with layout, of the header: `oldValue` and `newValue`
  kVolumeSize,   ///< with layout, of the header: bytes, `oldValue` and `newValue`
};

/// One line of a comparison. Paths are the entries' names joined by "/"
/// from the root, as t shows them; a directory's has no "/" at its end, and
/// the header's and the root's is empty.
struct Difference {
  DifferenceKind kind = DifferenceKind::kChanged;
  std::string path;
  bool directory = false;  ///< the entry is a directory (kKindChanged: in IMAGE)
  std::string newPath;     ///< kRenamed: the path of the added file
  std::int64_t oldValue = 0;
  std::int64_t newValue = 0;
  std::vector<std::int32_t> oldBlocks;  ///< kMoved: every copy's block, copy 0 first
  std::vector<std::int32_t> newBlocks;
  std::string oldType;  ///< kType
  std::string newType;
};

/// Which image a trouble lies in.
enum class Side { kImage, kOther, kBoth };

enum class TroubleKind {
  kRevisit,         ///< a directory already entered, not entered again
  kEndsEarly,       ///< the root's walk ends without an end marker, at byte `value`
  kNoStartBlock,    ///< an entry at block 0, which no command finds
  kNegativeSize,    ///< a byte count of `value`, below 0
  kNoName,          ///< an entry without a name, at byte `value`; `path` is its directory's
  kDuplicate,       ///< an earlier entry of the directory has its name
  kPastEnd,         ///< its data runs past the end of the image
  kUnreadable,      ///< a read of its data failed
  kCopyListTooLong  ///< with layout: its copy list runs past its directory block
};

/// What keeps an entry (or a directory) from being compared, or compared
/// whole: a run that meets one cannot say the trees are the same.
struct Trouble {
  Side side = Side::kImage;
  TroubleKind kind = TroubleKind::kRevisit;
  std::string path;  ///< as in Difference; for kRevisit a directory's
  std::int64_t value = 0;
};

/// Told of each difference and trouble as it is found.
class ComparisonReport {
 public:
  virtual ~ComparisonReport() = default;
  virtual void difference(const Difference& difference) = 0;
  virtual void trouble(const Trouble& trouble) = 0;
};

struct ComparisonTotals {
  std::int64_t same = 0;  ///< entries in both with nothing to report, directories too
  std::int64_t added = 0;
  std::int64_t erased = 0;
  std::int64_t changed = 0;  ///< other bytes, or a directory in one and a file in the other
  std::int64_t renamed = 0;
  std::int64_t moved = 0;  ///< with layout: the same bytes, but other blocks, copies or type
  std::int64_t troubles = 0;
  /// Whether any line said the trees differ.
  [[nodiscard]] bool differ() const { return added + erased + changed + renamed + moved > 0; }
};

/// Compares the tree of `other` (the new one) with that of `image` (the
/// old one), walking both in step directory by directory, each directory
/// of each entered once as t enters it. Reports come in the walk order of
/// `image`, with the entries only `other` holds where they lie in its own
/// order. Entries of one directory are matched by name, the first of each
/// name (as g finds it); an entry that no command finds (start block 0, no
/// name, a later one of a name, a file of negative size) is named as a
/// trouble. Files of the same name are compared byte for byte, as far as
/// both images hold their bytes. Directories added or erased whole are one
/// report each. With `layout`, also the copies' blocks, their number and
/// the type field, and the header's block and volume sizes. Memory: 8
/// bytes an entry of a directory of `image` for a moment as the walk enters
/// it, and about 9 bytes an entry of each directory of `other` on the path
/// being walked that does not hold the same names in the same order.
ComparisonTotals compareVolumes(const ComparedVolume& image, const ComparedVolume& other,
                                bool layout, ComparisonReport& report);

}  // namespace discshell
