// Where every directory of the volume lies: the blocks of each copy of each
// directory of the whole tree from the root, so that a write can be checked
// against all of them. A few bytes per directory and per copy; nothing of
// what the directories hold is kept.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "volume/directory.h"

namespace discshell {

class DirectoryMap {
 public:
  /// One copy of one directory: [begin, end) in the image.
  struct Stretch {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::uint32_t directory = 0;  ///< 0 is the root
    std::uint32_t copy = 0;       ///< 0 is the copy the walk reads
  };
  using FileVisitor = std::function<void(const DirectoryEntry& entry, const std::string& path)>;

  /// Walks the tree from the root. The root's copies are the header's
  /// (their last index at +96, 0 when outside 0..7); it reaches from its
  /// first block to the block that holds its end marker. Any other
  /// directory's copies are its entry's copy numbers, each as long as its
  /// byte count. `onFile`, when given, gets every entry that is not a
  /// directory, with its path from the root ("docs/guide.txt").
  [[nodiscard]] static DirectoryMap build(const ByteSource& image, const VolumeGeometry& geometry,
                                          const FileVisitor& onFile = {});

  /// A stretch that overlaps [begin, end): the one reaching furthest among
  /// those that begin before `end`. Null when no directory overlaps it.
  [[nodiscard]] const Stretch* overlapping(std::int64_t begin, std::int64_t end) const;
  /// Hands every stretch that overlaps [begin, end) to `visit`, until it
  /// returns false.
  void forEachOverlapping(std::int64_t begin, std::int64_t end,
                          const std::function<bool(const Stretch&)>& visit) const;
  /// Where copy 0 of `directory` begins: two directories that begin at one
  /// place are one directory, reached by two entries.
  [[nodiscard]] std::int64_t firstCopyBegin(std::uint32_t directory) const {
    return stretches_[directories_[directory].firstStretch].begin;
  }
  /// The directory a walk reads at `offset` (its copy 0 begins there); no
  /// value when the tree walk never entered a directory there.
  [[nodiscard]] std::optional<std::uint32_t> directoryAt(std::int64_t offset) const;
  /// One copy of a directory: [begin, end) in the image.
  struct Copy {
    std::int64_t begin = 0;
    std::int64_t end = 0;
  };
  /// Every copy of `directory`: a directory's copies are every copy number
  /// of every entry that leads to it (whose start block is its first
  /// block), and the root's also the header's. Each place once, copy 0
  /// first, then in walk order; a place that two entries give with two
  /// byte counts reaches as far as the longer.
  [[nodiscard]] std::vector<Copy> copies(std::uint32_t directory) const;
  /// Where each of those copies begins, in the same order.
  [[nodiscard]] std::vector<std::int64_t> copyBegins(std::uint32_t directory) const;
  /// The path of `directory` from the root: "/" for the root, "/docs/archive" below it.
  [[nodiscard]] std::string path(const ByteSource& image, std::uint32_t directory) const;

 private:
  struct Directory {
    std::uint32_t parent = 0;
    std::int32_t recordPosition = 0;  ///< of its entry in the parent; unused for the root
    std::uint32_t firstStretch = 0;   ///< its copies are stretches_[first, first + count)
    std::uint32_t copyCount = 0;
    bool entered = false;  ///< the walk read it here, not only met it again
  };
  friend class DirectoryMapBuilder;
  void add(std::uint32_t parent, std::int32_t recordPosition, bool entered,
           const std::vector<std::int64_t>& copyBegins, std::int64_t length);
  void index();

  std::vector<Directory> directories_;
  std::vector<Stretch> stretches_;        ///< every copy of every directory, in walk order
  std::vector<std::uint32_t> byBegin_;    ///< indices into stretches_, sorted by begin
  std::vector<std::uint32_t> reachMost_;  ///< for each prefix of byBegin_, its stretch ending last
};

}  // namespace discshell
