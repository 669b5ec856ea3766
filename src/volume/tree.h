// The volume as a tree: which entries are directories, paths through it,
// and a depth-first walk that enters each directory at most once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volume/directory.h"

namespace discshell {

/// Why an entry's data does or does not read as a directory.
enum class DirectoryFault {
  kNone,         ///< it is a directory
  kNotAStretch,  ///< start block 0, or a byte count that is no positive multiple of the block size
  kNoEntries,    ///< an end marker first, though the first block says more blocks follow
  kNamelessEntry,  ///< an entry without a name
  kNoEndMarker,    ///< no end marker within its bytes (or within the image)
  kNoProgress,     ///< an entry that would not move the walk forward
  kStopped,        ///< the caller's visitor ended the reading first
};

/// How an entry's data reads as a directory.
struct DirectoryReading {
  DirectoryFault fault = DirectoryFault::kNotAStretch;
  std::uint32_t entries = 0;  ///< named entries read before the end, or before the fault
};

/// The one rule for which entries are directories, for every walker: start
/// block not 0, a byte count that is a positive multiple of the block size,
/// and a walk of that data, reading nothing outside it, that ends at a flags
/// word of 0, meets only entries with a name, and meets at least one entry
/// unless the first block says it is the last. Only that structure counts:
/// an entry in it with a negative byte count, a start block outside the
/// image or any other bad value leaves it a directory (the tree commands
/// report that entry on its own). The flags word and the type are never
/// looked at. `visit`, when given, is handed each named entry read, and may
/// end the reading.
[[nodiscard]] DirectoryReading readAsDirectory(WindowedReader& reader,
                                               const VolumeGeometry& geometry,
                                               const DirectoryEntry& entry,
                                               const EntryVisitor& visit = nullptr);

/// Whether an entry's data reads as a directory, by readAsDirectory's rule.
[[nodiscard]] bool isDirectory(WindowedReader& reader, const VolumeGeometry& geometry,
                               const DirectoryEntry& entry);

/// One directory the shell stands in; the root's name is empty.
struct Level {
  std::int32_t offset = 0;
  std::string name;
};

/// Where a path leads from a stack of levels: keep its first `keep` levels,
/// then enter `down`. When the path's last component names an entry and the
/// caller asked for one, `entry` holds it and it is not entered.
struct PathTarget {
  std::size_t keep = 0;
  std::vector<Level> down;
  std::optional<DirectoryEntry> entry;
  /// The last component looked up, when the path enters it and nothing but
  /// "/", "." and ".." follows it (as in "docs/", "docs/." or "docs/x/.."):
  /// the path then names it as a directory, which c takes on trust and the
  /// path commands check.
  std::optional<DirectoryEntry> namedDirectory;
};

/// What the path names at its end: a directory, as for c, or an entry, as
/// for the commands that take a path.
enum class PathEnd { kDirectory, kEntry };

/// Resolves `path` from `levels` (never empty). The whole argument is first
/// looked up as one exact name; only when that finds nothing and it holds a
/// "/" is it read as a path: "/" first starts at the root, empty components
/// and "." stay, ".." goes up one level (not above the root), and any other
/// component is looked up and entered as c enters it. With `PathEnd::kEntry`
/// a last component that is a name is looked up but not entered, and a whole
/// path of "." or ".." is read as a path too (c takes "." as a name and
/// handles ".." itself). No value when any component is not found.
[[nodiscard]] std::optional<PathTarget> resolvePath(WindowedReader& reader,
                                                    const VolumeGeometry& geometry,
                                                    const std::vector<Level>& levels,
                                                    std::string_view path, PathEnd end);

/// What a tree walk reports, depth first in walk order. Paths are relative
/// to where the walk started, with "/" between components.
class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  /// An entry; for a directory, returns whether to walk its contents.
  virtual bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) = 0;
  /// All contents of the directory at `path` have been visited.
  virtual void leave(const std::string& /*path*/) {}
  /// A directory this walk has already entered once: it is not entered again.
  virtual void revisit(const DirectoryEntry& entry, const std::string& path) = 0;
};

/// What a walk of a tree keeps from one directory to the next: which
/// directories it has entered, and what it learned of which stretches are
/// directories. A walk that goes on across several calls of walkTree (two
/// trees compared in step) keeps one, so each directory is entered once in
/// all of them and no stretch is walked twice to tell whether it is one.
class TreeBounds {
 public:
  TreeBounds(const ByteSource& image, const VolumeGeometry& geometry);
  ~TreeBounds();
  TreeBounds(const TreeBounds&) = delete;
  TreeBounds& operator=(const TreeBounds&) = delete;
  /// Whether the entry's data reads as a directory, by readAsDirectory's rule.
  [[nodiscard]] bool isDirectory(const DirectoryEntry& entry);
  /// Notes that the walk enters the directory at `offset`; false, when it
  /// has entered it before.
  [[nodiscard]] bool enter(std::int32_t offset);
  /// Whether the walk has entered the directory at `offset`.
  [[nodiscard]] bool entered(std::int32_t offset) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Walks everything below the directory at `directoryOffset`, putting
/// `prefix` in front of every path. The walk keeps its own stack, so any
/// depth costs heap, never call stack; memory grows with the depth and the
/// number of directories, never with their contents or the data sizes.
void walkTree(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t directoryOffset,
              TreeVisitor& visitor, const std::string& prefix = "");
/// The same within `bounds`: the directory at `directoryOffset` is noted
/// as entered, and no directory `bounds` has entered is entered again.
void walkTree(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t directoryOffset,
              TreeVisitor& visitor, TreeBounds& bounds, const std::string& prefix = "");

/// Walks one entry under its own name: visits it and, when it is a directory
/// the visitor wants, everything below it.
void walkTree(const ByteSource& image, const VolumeGeometry& geometry, const DirectoryEntry& entry,
              TreeVisitor& visitor);

}  // namespace discshell
