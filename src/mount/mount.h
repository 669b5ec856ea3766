// Room src/mount/: --mount, a second front end beside the console: FUSE
// requests answered from the volume's walk and positioned reads. May include
// platform/, volume/ and local/.
//
// --mount: the volume served read-only as a folder, through FUSE where the
// build has libfuse 3 (mount_fuse.cc), else a refusal (mount_none.cc).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

struct MountRequest {
  std::string directory;                 ///< DIR: an existing empty directory
  std::string imageName;                 ///< IMAGE as given, for the mount table
  bool foreground = false;               ///< serve until unmounted instead of in the background
  std::vector<std::string> fuseOptions;  ///< passed to FUSE as "-o OPT" each
};

/// Mounts the volume's root on `request.directory` and serves it until it is
/// unmounted: in the background, returning once the mount is ready, or with
/// `request.foreground` here, where SIGINT, SIGTERM and SIGHUP unmount. Says
/// on `out` where it is mounted and how many names it left out, and on `err`
/// why it could not mount, leaving nothing mounted. Returns the exit status:
/// 0, or 1 when it could not mount.
[[nodiscard]] int mountVolume(const ImageFile& image, const VolumeGeometry& geometry,
                              const MountRequest& request, std::ostream& out, std::ostream& err);

}  // namespace discshell
