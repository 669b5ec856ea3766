#include "console/startup.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "console/session.h"
#include "console/shell.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

std::int32_t parseVolumeOffset(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 0);
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

int runDiscshell(std::span<const char* const> args, std::istream& in, std::ostream& out,
                 bool terminalOutput) {
  if (args.empty()) return 255;
  const auto image = ImageFile::open(args[0]);
  if (!image) {
    out << "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n";
    return 1;
  }
  const std::int32_t volumeOffset = args.size() > 1 ? parseVolumeOffset(args[1]) : 0;
  const auto geometry = readVolumeGeometry(*image, volumeOffset);
  if (!geometry) {
    out << "Could not read volume header.\n";
    return 1;
  }
  out << "Volume Size: " << geometry->volumeSize << " bytes\nBlock Size: " << geometry->blockSize
      << " bytes\nRoot Directory: " << geometry->rootDirectoryOffset
      << " bytes from start of volume\n\n";
  Session session{*image, *geometry, in, out, terminalOutput};
  const int status = runShell(session, geometry->rootDirectoryOffset);
  out << std::flush;
  return status;
}

}  // namespace discshell
