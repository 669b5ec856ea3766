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
#include "local/local_name_index.h"
#include "volume/directory.h"
#include "volume/image_file.h"
#include "volume/tree.h"

namespace discshell {

/// The name indexes of the directories of the image that i, e and n looked
/// in last (8 bytes an entry, at most 16 MiB in all), and whether the
/// entries they found last are directories, forgotten when the image file
/// changes under them: a thousand commands on paths through one directory
/// of 100,000 entries walk it once, not once a command.
class PendingNames {
 public:
  /// The index of the directory at `directory`; null when it would pass the bound.
  [[nodiscard]] const DirectoryNameIndex* of(const ImageFile& image, const VolumeGeometry& geometry,
                                             std::int32_t directory);
  /// Whether `entry`, a record of the image, reads as a directory (tree.h's rule).
  [[nodiscard]] bool isDirectory(const ImageFile& image, const VolumeGeometry& geometry,
                                 const DirectoryEntry& entry);

 private:
  // The rule reads only the stretch an entry's start block and byte count name.
  struct Verdict {
    std::int32_t startBlock = 0;
    std::int32_t byteCount = 0;
    bool directory = false;
  };
  void forgetIfChanged(const ImageFile& image);
  static constexpr std::size_t kBytes = std::size_t{16} << 20;
  static constexpr std::size_t kVerdicts = 16;
  RecentNameIndexes indexes_{kBytes};
  std::vector<Verdict> verdicts_;  ///< the latest last
  std::optional<platform::FileStatus> imageStatus_;
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
              PendingNames& names)
      : image_(image), geometry_(geometry), changes_(changes), names_(names) {}

  /// The first entry named `name` in `directory`, or no value.
  [[nodiscard]] std::optional<PendingEntry> find(const PendingDirectory& directory,
                                                 std::string_view name);

  /// The entry the local name `local` means in `directory`, as x wrote it:
  /// the first whose local name it is (local_name_index.h), the image's
  /// records in walk order under their names now, then the entries added;
  /// no value when none is.
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
  [[nodiscard]] std::optional<PendingEntry> findLocalInImage(std::int32_t directory,
                                                             std::string_view local);
  [[nodiscard]] std::optional<PendingEntry> entryAt(std::int32_t directory, std::int32_t record,
                                                    std::string name);
  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const PendingChanges& changes_;
  PendingNames& names_;
};

}  // namespace discshell
