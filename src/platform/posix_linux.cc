// Linux: nameless files, and copies that the kernel makes (or shares).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix_extras.h"

namespace discshell::platform {
namespace posix {

int openDirectory(int directoryFd, const char* path, int extraFlags) {
  return ::openat(directoryFd, path, O_PATH | O_DIRECTORY | O_CLOEXEC | extraFlags);
}

int openNamelessFile(int directoryFd) {
  // Naming a nameless file later goes through /proc/self/fd.
  static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
  if (!procMounted) return -1;
  return ::openat(directoryFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

bool linkNamelessFile(int fd, int directoryFd, const char* name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), directoryFd, name, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace posix

std::int64_t copyInKernel(const File& in, std::int64_t inPosition, File& out,
                          std::int64_t outPosition, std::int64_t length) {
  constexpr std::int64_t kPiece = std::int64_t{1} << 26;  // 64 MiB a call: progress stays visible
  auto inOffset = static_cast<off64_t>(inPosition);
  auto outOffset = static_cast<off64_t>(outPosition);
  std::int64_t copied = 0;
  while (copied < length) {
    const auto want = static_cast<std::size_t>(std::min(length - copied, kPiece));
    const ssize_t moved = ::copy_file_range(static_cast<int>(in.handle()), &inOffset,
                                            static_cast<int>(out.handle()), &outOffset, want, 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    copied += moved;
  }
  return copied;
}

bool cloneWholeFile(const File& in, File& out) {
  return ::ioctl(static_cast<int>(out.handle()), FICLONE, static_cast<int>(in.handle())) == 0;
}

}  // namespace discshell::platform
