// x: copying a whole tree out, with a local directory for each directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "local/extract.h"
#include "platform/platform.h"
#include "volume/directory.h"
#include "volume/image_file.h"

namespace discshell {

enum class TreeEvent {
  kFile,       ///< a file was written whole; `message` is its local name where it is escaped
  kWrittenAs,  ///< a directory was made under an escaped name: `message`
  kKept,       ///< a local file with other bytes (an edit) was kept: `message` says so
  kFailure,    ///< an entry, or a directory with all below it, failed: `message` says why
  kRevisit,    ///< a directory already extracted by this command, not entered again
  kSkipped,    ///< a later entry whose local name the folder takes as an earlier one's
};
/// Told about each file, failure and revisit as it happens; `path` is local,
/// relative to the current directory.
using TreeReporter =
    std::function<void(TreeEvent event, const std::string& path, std::string_view message)>;

struct TreeTotals {
  std::int64_t files = 0;
  std::int64_t directories = 0;
  std::int64_t bytes = 0;
  std::int64_t kept = 0;     ///< local files with other bytes left as they were
  std::int64_t skipped = 0;  ///< entries whose name the folder takes as another's
  std::int64_t failures = 0;
  /// Why the extraction stopped: a write that found no room, which every
  /// later file would meet too; 0 when it went to the end.
  platform::ErrorCode stoppedBy = 0;
  std::int64_t notWritten = 0;  ///< the files it did not write once stopped, that one among them
};

/// Extracts everything below the directory at `directoryOffset` into the
/// local directory `top`, keeping the tree. Files are written as g writes
/// them, under their local names (see local_name.h); an empty name fails
/// with its subtree, and so does a local path that would reach the
/// system's path limit. A later entry whose local name is an earlier one's
/// is skipped when the names differ (the folder cannot hold both) and fails
/// when they are the same. A write that finds no room stops the
/// extraction, counting the files left. Existing
/// local directories are reused; anything else where a directory belongs (a
/// file, a symbolic link) fails that subtree, and no link is ever followed.
/// `existing` says what happens to a local file already there.
TreeTotals extractDirectoryTree(const ImageFile& image, const VolumeGeometry& geometry,
                                platform::Directory top, std::int32_t directoryOffset,
                                ExistingFile existing, const TreeReporter& report);

/// Extracts one entry, a file or a whole directory, under its own name.
TreeTotals extractEntryTree(const ImageFile& image, const VolumeGeometry& geometry,
                            platform::Directory top, const DirectoryEntry& entry,
                            ExistingFile existing, const TreeReporter& report);

}  // namespace discshell
