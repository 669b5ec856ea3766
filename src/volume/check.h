// v: a read-only check of a whole volume, from its header to every entry
// reached from the root; and the same survey told where everything lies,
// for a map of the volume.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

struct CheckTotals {
  std::int64_t directories = 0;  ///< entered, the root included
  std::int64_t files = 0;
  std::int64_t problems = 0;
};

/// Told about each problem as it is found: the path as t shows it (a
/// directory with its "/", and "/" for the header and the root) and what is
/// wrong, a sentence without a line end.
using ProblemReporter = std::function<void(const std::string& path, const std::string& what)>;

/// Told how many bytes of data the check has read, as it goes.
using BytesRead = std::function<void(std::int64_t bytes)>;

/// Whole blocks from the volume's start: [first, first + count). A run may
/// reach outside the volume.
struct BlockRun {
  std::int64_t first = 0;
  std::int64_t count = 0;
};

/// The volume as the header gives it, in blocks.
struct VolumeExtent {
  std::int64_t blocks = 0;        ///< the block count; 0 when unusable
  std::int64_t headerBlocks = 0;  ///< the blocks that hold the header's 104 bytes
  std::int64_t heldBlocks =
      0;  ///< the blocks that lie whole in the image; the rest are past its end
};

/// One copy of an entry's data, or of the root, that covers at least one
/// block of the volume.
struct CopyPlace {
  const std::string& path;  ///< as v names it: a directory with its "/", the root "/"
  std::uint32_t entry;      ///< the entry's number, for `VolumeSurvey::finish`'s path lookup
  std::size_t index;        ///< copy 0 is the first
  BlockRun blocks;          ///< from its first block over its byte count
  std::int32_t byteCount;
  bool directory;
  bool focused;  ///< the survey's focus includes it (every copy, without a focus)
  /// Whether v's overlap check counts it: those that do not are problems of
  /// their own (outside the volume or the image, over the header).
  bool checked;
};

/// Gives the path of an entry from its number, as v names it.
using PathOfEntry = std::function<std::string(std::uint32_t entry)>;

/// Told what v finds and where everything it reads lies, in walk order.
class VolumeSurvey {
 public:
  virtual ~VolumeSurvey() = default;
  /// First: the volume's extent.
  virtual void extent(const VolumeExtent& /*volume*/) {}
  /// A problem as v prints it, with the blocks it concerns where it has any.
  virtual void problem(const std::string& path, const std::string& what,
                       std::optional<BlockRun> blocks) = 0;
  /// Whether to be told of copies: v alone keeps nothing for those.
  [[nodiscard]] virtual bool wantsCopies() const { return true; }
  /// A copy of the root, a directory or a file that covers a block of the volume.
  virtual void copy(const CopyPlace& /*copy*/) {}
  /// Blocks where the data of two entries or more that v's overlap check
  /// counts lie at once (data shared whole, same first block and byte
  /// count, counts once): after the walk, in the order of where they lie,
  /// none touching the one before.
  virtual void overlap(BlockRun /*blocks*/) {}
  /// Last; `pathOf` is valid only during the call.
  virtual void finish(const PathOfEntry& /*pathOf*/) {}
};

/// What a survey marks as focused: the entry whose record lies at `record`,
/// or the directory whose first block lies at `directory`, with everything
/// below it. Without either, everything is.
struct SurveyFocus {
  std::optional<std::int32_t> record;
  std::optional<std::int32_t> directory;
};

/// Checks the header, the root and its copies, every entry and directory the
/// tree walk reaches from the root (each directory entered once), and then
/// whether the data of any two entries overlap. Problems come in walk order,
/// the overlaps last, in the order of where they lie in the image. Every
/// directory is read once (one of more than 4,096 entries twice, the second
/// time for its names), data only to compare an entry's copies, each copy
/// once, through one bounded buffer, and the first entries of a file whose
/// size is whole blocks, to tell a damaged directory. Memory grows only by a
/// few bytes per entry with data, for the overlap check and the paths it
/// names, and by 4 bytes a name of a large directory while it is read again.
CheckTotals checkVolume(const ImageFile& image, const VolumeGeometry& geometry,
                        const ProblemReporter& report, const BytesRead& bytesRead = nullptr);

/// The same check, telling `survey` its problems and where every copy and
/// every overlap lies, with the same reads and bounds.
CheckTotals surveyVolume(const ImageFile& image, const VolumeGeometry& geometry,
                         VolumeSurvey& survey, const SurveyFocus& focus = {},
                         const BytesRead& bytesRead = nullptr);

}  // namespace discshell
