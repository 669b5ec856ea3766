// The tree as the pending changes leave it, for i, e and n to look names
// and paths up in: the image's records, less those erased and under their
// new names where renamed, and after them the entries added.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "edit/pending_changes.h"
#include "volume/directory.h"
#include "volume/image_file.h"
#include "volume/tree.h"

namespace discshell {

/// The names of the directories of the image looked in last, as 32-bit
/// hashes beside their records' positions, 8 bytes an entry, so that a
/// thousand lookups in a directory of 100,000 entries cost one walk of it,
/// not a thousand. It keeps the last few directories (a path's parents and
/// the directory at its end), and starts afresh when the image file has
/// changed.
class RecentNameIndex {
 public:
  /// The positions of the records of the directory at `directory` whose
  /// name is `name`, in walk order.
  [[nodiscard]] std::vector<std::int32_t> find(const ImageFile& image,
                                               const VolumeGeometry& geometry,
                                               std::int32_t directory, std::string_view name);

 private:
  struct Directory {
    std::int32_t offset = 0;
    std::vector<std::uint64_t> keys;  ///< hash << 32 | position, sorted
  };
  static constexpr std::size_t kDirectoriesKept = 4;
  [[nodiscard]] const std::vector<std::uint64_t>& keysOf(const ImageFile& image,
                                                         const VolumeGeometry& geometry,
                                                         std::int32_t directory);
  std::optional<platform::FileStatus> imageStatus_;
  std::vector<Directory> kept_;  ///< the one used last first
};

/// An entry as the pending changes leave it.
struct PendingEntry {
  std::optional<DirectoryEntry> record;            ///< a record of the image, as it holds it
  std::uint32_t added = PendingDirectory::kImage;  ///< else the added entry's index
  std::string name;                                ///< its name now
  bool directory = false;
  PendingDirectory holder;  ///< the directory it lies in
  /// The directory it is, when it is one.
  [[nodiscard]] PendingDirectory contents(const VolumeGeometry& geometry) const;
};

/// Where a path leads: the directories from the root to the last one it
/// names or enters, their names (the root's is empty) and, when the path's
/// last component is asked for as an entry, that entry.
struct PendingPath {
  std::vector<PendingDirectory> directories;
  std::vector<std::string> names;
  std::optional<PendingEntry> entry;
  /// The path from the root, without a leading "/", of `name` in the last directory.
  [[nodiscard]] std::string pathOf(std::string_view name) const;
};

class PendingView {
 public:
  PendingView(const ImageFile& image, const VolumeGeometry& geometry, const PendingChanges& changes,
              RecentNameIndex& names)
      : image_(image), geometry_(geometry), changes_(changes), names_(names) {}

  /// The first entry named `name` in `directory`, or no value.
  [[nodiscard]] std::optional<PendingEntry> find(const PendingDirectory& directory,
                                                 std::string_view name);

  /// The entry the local name `local` means in `directory`, as x wrote it:
  /// the entry named exactly `local` where that name needs no escape, else
  /// the one whose escape `local` is; no value when neither is there.
  [[nodiscard]] std::optional<PendingEntry> findLocal(const PendingDirectory& directory,
                                                      std::string_view local);

  /// Resolves `locals`, the local names of directories below the shell's
  /// current directory as x writes them, each as findLocal finds it. No
  /// value when one is not found or is no directory.
  [[nodiscard]] std::optional<PendingPath> resolveLocal(const std::vector<Level>& levels,
                                                        const std::vector<std::string>& locals);

  /// Resolves `path` from the shell's `levels` as the path commands do: the
  /// whole argument as one name first (when `lastIsEntry`), then "/"
  /// between names, a leading "/" for the root, "." and empty components
  /// staying, ".." going up. Every component but an asked-for last one must
  /// be a directory. No value when a component is not found.
  [[nodiscard]] std::optional<PendingPath> resolve(const std::vector<Level>& levels,
                                                   std::string_view path, bool lastIsEntry);

 private:
  [[nodiscard]] std::optional<PendingEntry> findInImage(std::int32_t directory,
                                                        std::string_view name);
  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const PendingChanges& changes_;
  RecentNameIndex& names_;
};

}  // namespace discshell
