// Plain POSIX (macOS, the BSDs): no nameless files and no in-kernel copy;
// named temporary files and the buffered copy loop do the work.
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_extras.h"

namespace discshell::platform {
namespace posix {

int openDirectory(int directoryFd, const char* path, int extraFlags) {
  // Without O_PATH a directory that may be entered but not listed cannot
  // be opened; that is the price of going through descriptors.
  return ::openat(directoryFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags);
}

int openNamelessFile(int) { return -1; }
bool linkNamelessFile(int, int, const char*) { return false; }

bool foldsCase(int directoryFd) {
#if defined(_PC_CASE_SENSITIVE)
  // macOS: 0 where names in any case lead to one file (APFS, HFS+ as made).
  return ::fpathconf(directoryFd, _PC_CASE_SENSITIVE) == 0;
#else
  static_cast<void>(directoryFd);
  return false;
#endif
}

}  // namespace posix

std::int64_t copyInKernel(const File&, std::int64_t, File&, std::int64_t, std::int64_t) {
  return 0;
}

std::int64_t kernelCopyAlignment(const File&) { return 0; }

bool cloneWholeFile(const File&, File&) { return false; }

}  // namespace discshell::platform
