// Linux: nameless files, and copies that the kernel makes (or shares).
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/vfs.h>
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

bool foldsCase(int directoryFd) {
  // The casefold flag (ext4, F2FS) sits on each directory; FAT and exFAT
  // fold every name. O_PATH answers neither question: open it to read.
  constexpr int kCasefoldFlag = 0x40000000;  // FS_CASEFOLD_FL, missing from older headers
  constexpr long kExfatMagic = 0x2011BAB0;
  const int fd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  struct statfs fileSystem {};
  const bool folds = (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & kCasefoldFlag) != 0) ||
                     (::fstatfs(fd, &fileSystem) == 0 &&
                      (fileSystem.f_type == MSDOS_SUPER_MAGIC || fileSystem.f_type == kExfatMagic));
  ::close(fd);
  return folds;
}

}  // namespace posix

std::int64_t copyInKernel(const File& in, std::int64_t inPosition, File& out,
                          std::int64_t outPosition, std::int64_t length) {
  const int input = static_cast<int>(in.handle());
  const int output = static_cast<int>(out.handle());
  auto inOffset = static_cast<off64_t>(inPosition);
  auto outOffset = static_cast<off64_t>(outPosition);
  std::int64_t copied = 0;
  // copy_file_range first: within one file system the kernel copies fastest
  // there, or shares the blocks (XFS, Btrfs). It declines across file
  // systems; sendfile takes over then, which measured faster than a buffer
  // going round, into tmpfs too (see BENCHMARKS.md).
  while (copied < length) {
    const ssize_t moved = ::copy_file_range(input, &inOffset, output, &outOffset,
                                            static_cast<std::size_t>(length - copied), 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    copied += moved;
  }
  if (copied == length || ::lseek(output, outOffset, SEEK_SET) != outOffset) return copied;
  while (copied < length) {
    const ssize_t moved =
        ::sendfile(output, input, &inOffset, static_cast<std::size_t>(length - copied));
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    copied += moved;
  }
  return copied;
}

std::int64_t kernelCopyAlignment(const File& out) {
  // Measured (bench/NOTES.md): from a position that is not the output's
  // modulo the page the kernel copies through the page cache twice, while a
  // file system block smaller than the page makes no difference.
  static const long pageSize = ::sysconf(_SC_PAGESIZE);
  struct statfs fileSystem {};
  const long blockSize =
      ::fstatfs(static_cast<int>(out.handle()), &fileSystem) == 0 ? fileSystem.f_bsize : 0;
  return std::max<std::int64_t>(pageSize, blockSize);
}

bool cloneWholeFile(const File& in, File& out) {
  return ::ioctl(static_cast<int>(out.handle()), FICLONE, static_cast<int>(in.handle())) == 0;
}

}  // namespace discshell::platform
