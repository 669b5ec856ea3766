// Built when there is no libfuse 3: --mount says so and fails.
#include "mount/mount.h"

namespace discshell {

int mountVolume(const ImageFile&, const VolumeGeometry&, const MountRequest&, std::ostream&,
                std::ostream& err) {
  err << "discshell: this build cannot mount: it was built without libfuse 3\n";
  return 1;
}

}  // namespace discshell
