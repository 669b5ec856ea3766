// What u and r share before they write: the walk that finds every file
// entry whose local file (where x puts it) has changed, the checks of where
// its copies lie, and the look at the rest of the volume that a write must
// not disturb: the directories, and the data of every other entry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bytes/compare.h"
#include "edit/directory_writer.h"
#include "edit/pending_changes.h"
#include "output/image_writer.h"
#include "output/output_file.h"
#include "platform/platform.h"
#include "volume/directory.h"
#include "volume/directory_map.h"
#include "volume/image_file.h"
#include "volume/tree.h"

namespace discshell {

struct PatchProblem {
  std::string subject;  ///< a path, or the output's
  std::string message;  ///< ends with a line end
};

/// Where a command's walk starts: the directory at `directory`, or, when
/// `entry` is set, that entry (which lies in `directory`) under its own name.
struct PatchTarget {
  std::optional<DirectoryEntry> entry;
  std::int32_t directory = 0;
  /// The shell's current directory from the root, "docs/archive"; "" at the root.
  std::string base;
  /// The output, when it exists: a local file that is not the tree's.
  std::optional<platform::FileIdentity> output;
  /// Local paths that changes waiting to be written add to the image
  /// ("docs/new.txt"), sorted: they are no local files without an entry.
  std::vector<std::string> added;
  /// The changes waiting to be written, or null. The walk sees the tree as
  /// they leave it, as i, e and n do: what they erase is neither compared
  /// nor written, and an entry they rename goes by its new name, for its
  /// local file and in what is said of it.
  const PendingChanges* pending = nullptr;
  /// The directories from the root to `directory`, as the shell and the
  /// path argument entered them: where a pending change erases one, there
  /// is nothing to compare.
  std::vector<Level> levels{};
};

/// What u or r will say of one changed entry, in walk order.
struct PatchLine {
  std::string path;
  std::int64_t length = 0;
  std::size_t copies = 0;
  /// The first block of each new stretch its data moves to, in copy order;
  /// empty when it is written in place.
  std::vector<std::int32_t> movedTo;
};

/// r's change of one record, made by the directory writer.
struct RecordChange {
  std::int32_t directory = 0;  ///< where copy 0 of its directory begins
  std::int32_t position = 0;   ///< the record's, in copy 0
  RecordUpdate update;
  std::vector<ByteWrite> writes;  ///< the record so changed, where it stands in every copy
};

/// Everything a command found before writing. Only a plan without problems
/// is written.
struct PatchPlan {
  std::vector<PatchProblem> problems;
  std::vector<std::string> revisits;  ///< directories met again, not entered again
  bool noLocalFiles = false;          ///< entries x writes, and not one of them here
  std::vector<PatchLine> lines;
  ImageChanges changes;  ///< all but `records`
  /// r's changes of records: written where they stand (writeInPlace), or
  /// into their directories where pending changes re-pack these.
  std::vector<RecordChange> records;
  std::vector<std::string> untracked;  ///< as in ChangeScan
  std::size_t untrackedCount = 0;
};

/// Puts each record change where it stands, behind the bytes of `changes`.
void writeInPlace(std::vector<RecordChange> records, ImageChanges& changes);

/// A file entry whose local file differs from it, with every copy checked.
struct ChangedEntry {
  /// Its path relative to the current directory, under the names the
  /// pending changes give.
  std::string path;
  DirectoryEntry entry;
  std::int32_t directory = 0;        ///< where the copy of its directory that was walked begins
  std::vector<std::int32_t> copies;  ///< block numbers, the start block first
  std::int64_t length = 0;           ///< the local file's
  platform::FileStatus local;        ///< the local file as it was compared
  std::string localPath;             ///< its local file's path, relative to the local top
};

/// What the walk found. `changed` is in walk order.
struct ChangeScan {
  std::vector<ChangedEntry> changed;
  std::vector<PatchProblem> problems;
  std::vector<std::string> revisits;  ///< directories met again, not entered again
  bool noLocalFiles = false;          ///< entries x writes, and not one of them here
  /// Local files and directories (these with a "/" at the end) in the
  /// folders walked that no entry means, the image and the output aside:
  /// the first 20, in the order each folder lists them, and how many in all.
  std::vector<std::string> untracked;
  std::size_t untrackedCount = 0;
};

enum class LongerFiles { kRefused, kAllowed };

/// Compares every file entry of the target, as the pending changes leave
/// it, with the local file where x would have written it below `top`,
/// under its local name. Only the first entry of a local file in a
/// directory counts. A missing local file, or one that holds exactly
/// what x would write, is left alone; a symbolic link where x writes is a problem and is never
/// followed, and so is anything at the place of an entry with start block 0, which x does not
/// write. A changed file's copies must be readable, none on block 0 and all inside the image.
[[nodiscard]] ChangeScan scanChanges(const ImageFile& image, const VolumeGeometry& geometry,
                                     const platform::Directory& top, const PatchTarget& target,
                                     LongerFiles longer);

/// [begin, end) in the image, and whose it is (an index the caller chose).
struct Stretch {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::size_t owner = 0;
};

/// Another entry's data that meets a write: one copy of it.
struct OtherData {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::string path;  ///< as the user names it: relative below the current directory, else from "/"
};

/// What a write must leave alone: every copy of every directory, and the
/// data of the other entries that meets the write.
struct LiveStretches {
  DirectoryMap directories;
  std::vector<OtherData> others;
};

/// Walks the whole volume from the root, whatever the target: every
/// directory's copies, and each copy of the data of every file entry that is
/// not in `changed` and meets one of `writes`. With `wholeBlocks` an
/// entry's data is all of its blocks, else its bytes.
[[nodiscard]] LiveStretches surveyVolume(const ImageFile& image, const VolumeGeometry& geometry,
                                         const std::vector<ChangedEntry>& changed,
                                         const std::vector<Stretch>& writes, bool wholeBlocks,
                                         const std::string& base);

/// The bytes an entry's data takes in whole blocks: its byte count rounded
/// up to whole blocks, at least one block.
[[nodiscard]] std::int64_t blocksLength(std::int64_t byteCount, std::int32_t blockSize);

/// Whether [begin, end) meets the volume header: the first 104 bytes of the
/// volume, whatever the block size (below 104 it reaches into block 1).
[[nodiscard]] bool overlapsVolumeHeader(const VolumeGeometry& geometry, std::int64_t begin,
                                        std::int64_t end);

/// Problems with the output itself: it is the image, a directory, or
/// anything else that is not a regular file (a link, a FIFO, a device).
void checkOutput(const ImageFile& image, const OutputPlace& place,
                 std::vector<PatchProblem>& problems);

/// Where the copies at `blocks` lie, each place once, in order: an entry
/// with many copies of one block is written there once.
[[nodiscard]] std::vector<std::int64_t> copyPositions(const VolumeGeometry& geometry,
                                                      std::vector<std::int32_t> blocks);

/// Stretches sorted by begin with, for each prefix, the one reaching
/// furthest: which of them meets a range is then one binary search.
class StretchIndex {
 public:
  explicit StretchIndex(std::vector<Stretch> stretches);
  /// A stretch that overlaps [begin, end): the one reaching furthest among
  /// those that begin before `end`. Null when none overlaps it.
  [[nodiscard]] const Stretch* overlapping(std::int64_t begin, std::int64_t end) const;

 private:
  std::vector<Stretch> stretches_;
  std::vector<std::size_t> reachMost_;
};

/// Sorted by begin, and the reach-most earlier stretch handed to `meet` for
/// each stretch that it overlaps: once per stretch, so the work grows with
/// the number of stretches, never with their pairs. Where the relation
/// `meet` checks carries over through overlaps (equal bytes), that is enough
/// to check every overlapping pair.
void sweepOverlaps(std::vector<Stretch>& stretches,
                   const std::function<void(const Stretch& earlier, const Stretch& later)>& meet);

}  // namespace discshell
