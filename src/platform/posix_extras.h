// What Linux does better than plain POSIX, behind a few functions that
// posix_linux.cc implements and posix_generic.cc declines.
#pragma once

namespace discshell::platform::posix {

/// Opens the directory `path` (relative to `directoryFd`) only to reach
/// what is in it, which needs no permission to read it (Linux: O_PATH); -1
/// when it cannot be opened. `extraFlags` adds O_NOFOLLOW and the like.
[[nodiscard]] int openDirectory(int directoryFd, const char* path, int extraFlags);
/// A new file in the directory `directoryFd` that has no name (O_TMPFILE),
/// with mode 0666 less the umask; -1 where the system cannot make one.
[[nodiscard]] int openNamelessFile(int directoryFd);
/// Gives the nameless file `fd` the name `name` in `directoryFd`; false when
/// that cannot be done (a name already there included: link never replaces).
[[nodiscard]] bool linkNamelessFile(int fd, int directoryFd, const char* name);
/// Whether the file system takes names in the directory `directoryFd` that
/// differ only in letter case as one; false where it cannot tell.
[[nodiscard]] bool foldsCase(int directoryFd);

}  // namespace discshell::platform::posix
