#include "transfer/local_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace discshell {
namespace {

// The named temporary files that exist right now, where a signal handler
// can find them without allocating or locking. One thread only.
enum SlotState : int { kFree, kClaimed, kArmed };
struct CleanupSlot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free);
CleanupSlot cleanupSlots[16];

int claimCleanupSlot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < static_cast<int>(std::size(cleanupSlots)); ++i) {
    CleanupSlot& slot = cleanupSlots[i];
    if (slot.state.load() != kFree) continue;
    slot.state.store(kClaimed);
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(kArmed);
    return i;
  }
  return -1;
}

void releaseCleanupSlot(int slot) {
  if (slot >= 0) cleanupSlots[slot].state.store(kFree);
}

extern "C" void removeTemporaryFilesAndReraise(int signalNumber) {
  for (CleanupSlot& slot : cleanupSlots) {
    if (slot.state.load() == kArmed) ::unlink(slot.path);
  }
  // Blocked while this handler runs, the signal arrives again on return and
  // now ends the process, as if it had never been caught.
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

bool preferNamed = false;

bool namelessUsable() {
  // Naming a nameless file goes through /proc/self/fd.
  static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
  return procMounted && !preferNamed;
}

std::string temporaryName(const std::string& directory) {
  static unsigned counter = 0;
  return localPath(directory, ".discshell-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(counter++) + ".tmp");
}

}  // namespace

bool isSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<struct stat> statPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

std::string localPath(const std::string& directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  return directory + "/" + std::string(name);
}

std::optional<PendingFile> PendingFile::create(const std::string& directory) {
  if (namelessUsable()) {
    FileDescriptor fd(::open(directory.empty() ? "." : directory.c_str(),
                             O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.valid()) return PendingFile(std::move(fd), directory, "", -1);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temporaryName(directory);
    const int slot = claimCleanupSlot(name);
    if (slot < 0) return std::nullopt;
    // O_EXCL with mode 0666 lets the kernel apply the umask, as a plain create would.
    FileDescriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return PendingFile(std::move(fd), directory, std::move(name), slot);
    const int error = errno;
    releaseCleanupSlot(slot);
    if (error != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      directory_(std::move(other.directory_)),
      name_(std::move(other.name_)),
      cleanupSlot_(other.cleanupSlot_) {
  other.name_.clear();
  other.cleanupSlot_ = -1;
}

PendingFile::~PendingFile() { discard(); }

void PendingFile::discard() {
  fd_.reset();
  if (!name_.empty()) ::unlink(name_.c_str());
  name_.clear();
  releaseCleanupSlot(cleanupSlot_);
  cleanupSlot_ = -1;
}

bool PendingFile::linkInto(const std::string& path, bool replace) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
  if (!replace)
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
  // link() never replaces, so the file gets a temporary name first and is
  // then renamed over what is there.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporaryName(directory_);
    const int slot = claimCleanupSlot(name);
    if (slot < 0) return false;
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      const int error = errno;
      releaseCleanupSlot(slot);
      if (error == EEXIST) continue;
      return false;
    }
    const bool renamed = ::rename(name.c_str(), path.c_str()) == 0;
    if (!renamed) ::unlink(name.c_str());
    releaseCleanupSlot(slot);
    return renamed;
  }
  return false;
}

bool PendingFile::commit(const std::string& path, const std::optional<struct stat>& existing) {
  bool done = !existing || !S_ISREG(existing->st_mode) ||
              ::fchmod(fd_.get(), existing->st_mode & 0777) == 0;
  if (done && name_.empty()) {
    // A dangling link or a file made since `existing` was read makes the
    // plain link fail; replacing then still works.
    done = (!existing && linkInto(path, false)) || linkInto(path, true);
  } else if (done) {
    done = fd_.reset() && ::rename(name_.c_str(), path.c_str()) == 0;
    if (done) name_.clear();
  }
  discard();
  return done;
}

void PendingFile::preferNamedFiles(bool named) { preferNamed = named; }

void removeTemporaryFilesOnSignals() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction current {};
    if (::sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction handler {};
    handler.sa_handler = removeTemporaryFilesAndReraise;
    sigfillset(&handler.sa_mask);
    ::sigaction(signalNumber, &handler, nullptr);
  }
}

}  // namespace discshell
