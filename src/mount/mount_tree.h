// The volume as the tree a mount shows: what t lists, under the local names
// x writes, the first entry of each local name, and a directory met again
// shown empty. It reads through the volume's own walk, lookup and directory rule,
// keeps a few bytes per directory of the volume and a bounded cache of name
// indexes, and knows nothing of FUSE, so the front end stays a thin layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "local/local_name_index.h"
#include "volume/byte_source.h"
#include "volume/directory.h"
#include "volume/geometry.h"

namespace discshell {

/// The name an entry shows under: the local name x writes it as, escaped
/// where a file here cannot have its name; no value for an empty name,
/// which x cannot write, and the mount leaves out. Every listing and every
/// lookup goes through it, so a name the kernel asks for finds the entry
/// that x wrote under it: the first of that local name.
[[nodiscard]] std::optional<std::string> mountedName(std::string_view entryName);

/// Which node of the tree: the root, or an entry by the directory whose
/// walk holds it and its record, which no other place in the tree shares.
using NodeId = std::uint64_t;
inline constexpr NodeId kRootNode = 1;

struct MountNode {
  NodeId id = kRootNode;
  DirectoryEntry entry;   ///< the entry (for the root, an empty one)
  bool directory = true;  ///< by the tree's directory rule
  bool listed = true;     ///< a directory shown with its contents: the first the walk met
  std::int32_t start =
      0;  ///< its start block as a byte position: a file's data, a directory's first block
};

/// Where a file's bytes lie: its start block as a byte position, and its
/// byte count, which is not negative (such a file does not open). Small
/// enough to live in a FUSE file handle, with the byte count's sign bit
/// holding whether a read may stop short.
struct FileExtent {
  std::int32_t position = 0;
  std::int32_t byteCount = 0;
  /// A read that reaches past the image's end gives the bytes before it
  /// (an entry the image cuts short, read as asked, not in whole pages);
  /// else, and when the image holds none of them, it fails.
  bool shortAtImageEnd = false;
};
[[nodiscard]] std::uint64_t packExtent(FileExtent extent);
[[nodiscard]] FileExtent unpackExtent(std::uint64_t packed);

/// Where a directory listing goes on: 0 at its start, else what `list`
/// handed out with the entry before.
using ListCookie = std::uint64_t;

class MountTree {
 public:
  /// Walks the whole tree once from the root, as t does, to learn which
  /// entries are directories and which directory was met first.
  MountTree(const ByteSource& image, const VolumeGeometry& geometry,
            std::size_t cacheBytes = kDefaultCacheBytes);

  /// Name indexes kept at once, in bytes; a directory whose index alone
  /// would pass it is served without one (its duplicates then show, and
  /// every lookup walks it). 8 MiB holds the index of a directory of
  /// 1,048,000 entries, and keeps the server under 16 MiB.
  static constexpr std::size_t kDefaultCacheBytes = 8 << 20;
  /// Directories of this many entries or more get their name index when
  /// the mount starts, while the bound holds them.
  static constexpr std::int64_t kIndexedAtStart = 16384;

  /// Entries left out of directories the mount shows, for their names.
  [[nodiscard]] std::int64_t namesLeftOut() const { return namesLeftOut_; }

  /// The node `id` as it reads now; no value when its record cannot be read.
  [[nodiscard]] std::optional<MountNode> node(NodeId id);
  /// The entry shown as `name` in `directory`; no value when none is.
  [[nodiscard]] std::optional<MountNode> lookup(const MountNode& directory, std::string_view name);

  /// Hands the entries shown in `directory` to `add`, in walk order, from
  /// `cookie` on, each with the cookie that goes on behind it, until `add`
  /// returns false (that entry is not taken) or the directory ends.
  using ListVisitor =
      std::function<bool(const MountNode& node, const std::string& name, ListCookie next)>;
  void list(const MountNode& directory, ListCookie cookie, const ListVisitor& add);

  /// Where the bytes of a read of up to `size` bytes from `offset` of a file
  /// lie in an image of `imageLength` bytes: `count` bytes (0 past the
  /// file's end) from `position`; no value when the image does not hold
  /// them all.
  struct ReadPlace {
    std::int64_t position = 0;
    std::size_t count = 0;
  };
  [[nodiscard]] static std::optional<ReadPlace> place(FileExtent file, std::int64_t offset,
                                                      std::size_t size, std::int64_t imageLength);

  /// Reads a file's bytes from `offset` into `out`: how many (0 past its
  /// end), or no value when any of them lies outside what the image holds
  /// (with `shortAtImageEnd`: when the first does).
  [[nodiscard]] std::optional<std::size_t> read(FileExtent file, std::int64_t offset,
                                                std::span<unsigned char> out) const;

  /// Bytes the name indexes take now, for the tests of the bound.
  [[nodiscard]] std::size_t cachedBytes() const { return indexes_.bytes(); }

 private:
  struct Kind {
    bool directory = false;
    bool listed = false;
  };
  [[nodiscard]] Kind kindOf(std::int32_t parent, std::int32_t record) const;
  [[nodiscard]] MountNode makeNode(std::int32_t parent, const DirectoryEntry& entry) const;
  /// The index of a listed directory, by where its walk starts, built on
  /// first use; null when it would pass the cache's bound.
  const DirectoryNameIndex* indexOf(std::int32_t directory);
  void indexLargeDirectories(std::vector<std::pair<std::int64_t, std::int32_t>> large,
                             std::size_t cacheBytes);

  const ByteSource& image_;
  VolumeGeometry geometry_;
  std::int64_t namesLeftOut_ = 0;
  /// Every directory entry of the tree as (parent << 32 | record), sorted;
  /// bit 31 marks the one that the walk entered first.
  std::vector<std::uint64_t> directories_;
  /// The name indexes of the directories looked in last.
  RecentNameIndexes indexes_;
};

}  // namespace discshell
