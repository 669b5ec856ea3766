// POSIX: Linux, macOS and the BSDs. What Linux does better lives in
// posix_linux.cc; posix_generic.cc stands in for it elsewhere.
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "platform/platform.h"
#include "platform/posix_extras.h"
#include "platform/utf8.h"

namespace discshell::platform {
namespace {

int fdOf(const File& file) { return static_cast<int>(file.handle()); }

std::int64_t nanoseconds(const struct timespec& time) {
  return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

FileStatus statusOf(const struct stat& info) {
  FileStatus status;
  if (S_ISREG(info.st_mode)) {
    status.kind = FileKind::kRegular;
  } else if (S_ISDIR(info.st_mode)) {
    status.kind = FileKind::kDirectory;
  } else if (S_ISLNK(info.st_mode)) {
    status.kind = FileKind::kSymbolicLink;
  } else if (S_ISBLK(info.st_mode)) {
    status.kind = FileKind::kBlockDevice;
  } else {
    status.kind = FileKind::kOther;
  }
  status.size = static_cast<std::int64_t>(info.st_size);
  status.identity = {static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
  status.permissions = static_cast<std::uint32_t>(info.st_mode & 0777);
#if defined(__APPLE__)
  status.modified = nanoseconds(info.st_mtimespec);
  status.changed = nanoseconds(info.st_ctimespec);
#else
  status.modified = nanoseconds(info.st_mtim);
  status.changed = nanoseconds(info.st_ctim);
#endif
  return status;
}

// Opens for reading without blocking on a FIFO; keeps only the kinds asked
// for, and then makes reads wait for data like any ordinary read. `error`
// says why there is no file.
std::optional<File> openReadable(int directoryFd, const char* path, int extraFlags,
                                 bool blockDevices, ErrorCode& error) {
  File file(::openat(directoryFd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags));
  const auto status = file.valid() ? file.status() : std::nullopt;
  if (!status) {
    error = errno;
    return std::nullopt;
  }
  if (!(status->kind == FileKind::kRegular ||
        (blockDevices && status->kind == FileKind::kBlockDevice))) {
    error = status->kind == FileKind::kDirectory ? EISDIR : EINVAL;
    return std::nullopt;
  }
  const int flags = ::fcntl(fdOf(file), F_GETFL);
  if (flags < 0 || ::fcntl(fdOf(file), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errno;
    return std::nullopt;
  }
  return file;
}

std::optional<File> openReadable(int directoryFd, const char* path, int extraFlags,
                                 bool blockDevices) {
  ErrorCode ignored = 0;
  return openReadable(directoryFd, path, extraFlags, blockDevices, ignored);
}

// The named temporary files that exist right now, where a signal handler
// can find them without allocating or locking. One thread only.
enum SlotState : int { kFree, kClaimed, kArmed };
struct CleanupSlot {
  std::atomic<int> state{kFree};
  int directoryFd = -1;
  char name[NAME_MAX + 1];
};
static_assert(std::atomic<int>::is_always_lock_free);
CleanupSlot cleanupSlots[16];

int claimCleanupSlot(int directoryFd, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (int i = 0; i < static_cast<int>(std::size(cleanupSlots)); ++i) {
    CleanupSlot& slot = cleanupSlots[i];
    if (slot.state.load() != kFree) continue;
    slot.state.store(kClaimed);
    slot.directoryFd = directoryFd;
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.state.store(kArmed);
    return i;
  }
  return -1;
}

void releaseCleanupSlot(int slot) {
  if (slot >= 0) cleanupSlots[slot].state.store(kFree);
}

// The terminal as it was before the line editor changed it.
termios savedTerminal{};
std::atomic<bool> terminalSaved{false};

extern "C" void removeTemporaryFilesAndReraise(int signalNumber) {
  for (CleanupSlot& slot : cleanupSlots) {
    if (slot.state.load() == kArmed) ::unlinkat(slot.directoryFd, slot.name, 0);
  }
  if (terminalSaved.load()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  // Blocked while this handler runs, the signal arrives again on return and
  // now ends the process, as if it had never been caught.
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

bool preferNamed = false;
std::optional<std::size_t> listingsFailAfter;

// The code point of a valid UTF-8 sequence of `length` bytes, and back.
char32_t decodeUtf8(std::string_view sequence) {
  if (sequence.size() == 1) return static_cast<unsigned char>(sequence[0]);
  const unsigned lead = static_cast<unsigned char>(sequence[0]);
  char32_t point = lead & (0x7Fu >> sequence.size());
  for (std::size_t i = 1; i < sequence.size(); ++i) {
    point = (point << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3Fu);
  }
  return point;
}

void appendUtf8(std::string& text, char32_t point) {
  const auto byte = [&](char32_t bits) { text.push_back(static_cast<char>(bits)); };
  if (point < 0x80) {
    byte(point);
  } else if (point < 0x800) {
    byte(0xC0 | (point >> 6));
    byte(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    byte(0xE0 | (point >> 12));
    byte(0x80 | ((point >> 6) & 0x3F));
    byte(0x80 | (point & 0x3F));
  } else {
    byte(0xF0 | (point >> 18));
    byte(0x80 | ((point >> 12) & 0x3F));
    byte(0x80 | ((point >> 6) & 0x3F));
    byte(0x80 | (point & 0x3F));
  }
}

// Unicode's case mappings whatever the user's locale; null where the system
// has no UTF-8 locale (then only ASCII letters fold).
locale_t unicodeLocale() {
  static const locale_t locale = [] {
    locale_t made = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (made == nullptr) made = ::newlocale(LC_CTYPE_MASK, "en_US.UTF-8", nullptr);
    return made;
  }();
  return locale;
}

char32_t lowerCase(char32_t point) {
  if (point < 0x80) return point >= 'A' && point <= 'Z' ? point - 'A' + 'a' : point;
  const locale_t locale = unicodeLocale();
  if (locale == nullptr || point > static_cast<char32_t>(WCHAR_MAX)) return point;
  const auto lower = ::towlower_l(static_cast<wint_t>(point), locale);
  return lower > 0 && lower <= 0x10FFFF ? static_cast<char32_t>(lower) : point;
}

std::string temporaryName() {
  static unsigned counter = 0;
  return ".discshell-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

}  // namespace

std::string errorText(ErrorCode code) { return std::strerror(code); }

bool isOutOfSpace(ErrorCode code) { return code == ENOSPC || code == EDQUOT; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

std::intptr_t File::release() {
  const std::intptr_t handle = handle_;
  handle_ = kInvalid;
  return handle;
}

bool File::close() {
  if (!valid()) return true;
  const int result = ::close(fdOf(*this));
  handle_ = kInvalid;
  return result == 0;
}

std::size_t File::readAt(std::int64_t position, std::span<unsigned char> out) const {
  std::size_t done = 0;
  while (done < out.size() && position >= 0) {
    const ssize_t got = ::pread(fdOf(*this), out.data() + done, out.size() - done,
                                static_cast<off_t>(position) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool File::writeAt(std::int64_t position, std::span<const unsigned char> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::pwrite(fdOf(*this), data.data() + done, data.size() - done,
                                 static_cast<off_t>(position) + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      writeError_ = put < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::optional<FileStatus> File::status() const {
  struct stat info {};
  if (::fstat(fdOf(*this), &info) != 0) return std::nullopt;
  return statusOf(info);
}

std::optional<std::int64_t> File::length() const {
  const auto status = this->status();
  if (!status) return std::nullopt;
  if (status->kind == FileKind::kRegular) return status->size;
  const off_t end = ::lseek(fdOf(*this), 0, SEEK_END);
  if (end < 0) return std::nullopt;
  return static_cast<std::int64_t>(end);
}

std::optional<File> openImage(const std::string& path) {
  return openReadable(AT_FDCWD, path.c_str(), 0, true);
}

std::optional<File> openForReading(const std::string& path) {
  return openReadable(AT_FDCWD, path.c_str(), 0, true);
}

std::optional<FileStatus> statPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return statusOf(info);
}

std::optional<Directory> Directory::current() { return open("."); }

std::optional<Directory> Directory::open(const std::string& path) {
  File handle(posix::openDirectory(AT_FDCWD, path.c_str(), 0));
  if (!handle.valid()) return std::nullopt;
  return Directory(std::move(handle));
}

std::optional<Directory> Directory::duplicate() const {
  File handle(::fcntl(fdOf(handle_), F_DUPFD_CLOEXEC, 0));
  if (!handle.valid()) return std::nullopt;
  return Directory(std::move(handle));
}

std::optional<Directory> Directory::enter(std::string_view name, bool create,
                                          FileKind& found) const {
  const std::string component(name);
  if (create) (void)::mkdirat(fdOf(handle_), component.c_str(), 0777);
  File handle(posix::openDirectory(fdOf(handle_), component.c_str(), O_NOFOLLOW));
  if (handle.valid()) {
    found = FileKind::kDirectory;
    return Directory(std::move(handle));
  }
  const auto status = entryStatus(name);
  found = status ? status->kind : FileKind::kOther;
  return std::nullopt;
}

std::optional<FileStatus> Directory::entryStatus(std::string_view name, bool followLink) const {
  const std::string component(name);
  struct stat info {};
  if (::fstatat(fdOf(handle_), component.c_str(), &info, followLink ? 0 : AT_SYMLINK_NOFOLLOW) ==
      0) {
    return statusOf(info);
  }
  if (errno == ENOENT) return FileStatus{};
  return std::nullopt;
}

std::optional<File> Directory::openFile(std::string_view name) const {
  return openReadable(fdOf(handle_), std::string(name).c_str(), O_NOFOLLOW, false);
}

std::optional<File> Directory::openFile(std::string_view name, ErrorCode& error) const {
  return openReadable(fdOf(handle_), std::string(name).c_str(), O_NOFOLLOW, false, error);
}

std::optional<PendingFile> Directory::createPending() const {
  auto directory = duplicate();
  if (!directory) return std::nullopt;
  const int directoryFd = fdOf(directory->handle_);
  if (!preferNamed) {
    File nameless(posix::openNamelessFile(directoryFd));
    if (nameless.valid()) return PendingFile(std::move(*directory), std::move(nameless), "", -1);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temporaryName();
    const int slot = claimCleanupSlot(directoryFd, name);
    if (slot < 0) return std::nullopt;
    // O_EXCL with mode 0666 lets the kernel apply the umask, as a plain create would.
    File file(::openat(directoryFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.valid()) {
      return PendingFile(std::move(*directory), std::move(file), std::move(name), slot);
    }
    const int error = errno;
    releaseCleanupSlot(slot);
    if (error != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

bool Directory::listNames(const std::function<void(std::string_view name)>& visit) const {
  const int fd = ::openat(fdOf(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd), &::closedir);
  if (!listing) {
    ::close(fd);
    return false;
  }
  errno = 0;
  std::size_t handed = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (listingsFailAfter && handed == *listingsFailAfter) {
      errno = EIO;
      break;
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") {
      visit(name);
      ++handed;
    }
    errno = 0;
  }
  return errno == 0;
}

void Directory::failListingsAfter(std::optional<std::size_t> names) { listingsFailAfter = names; }

bool Directory::foldsCase() const { return posix::foldsCase(fdOf(handle_)); }

PendingFile::PendingFile(Directory directory, File file, std::string name, int cleanupSlot)
    : directory_(std::move(directory)),
      file_(std::move(file)),
      name_(std::move(name)),
      cleanupSlot_(cleanupSlot) {}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_(std::move(other.directory_)),
      file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      cleanupSlot_(other.cleanupSlot_) {
  other.name_.clear();
  other.cleanupSlot_ = -1;
}

PendingFile::~PendingFile() { discard(); }

void PendingFile::discard() {
  file_.close();
  if (!name_.empty()) ::unlinkat(fdOf(directory_.handle_), name_.c_str(), 0);
  name_.clear();
  releaseCleanupSlot(cleanupSlot_);
  cleanupSlot_ = -1;
}

bool PendingFile::commit(std::string_view name, const std::optional<FileStatus>& existing) {
  const std::string target(name);
  const int directoryFd = fdOf(directory_.handle_);
  const bool replacing = existing && existing->kind != FileKind::kNone;
  bool done = !replacing || existing->kind != FileKind::kRegular ||
              ::fchmod(fdOf(file_), static_cast<mode_t>(existing->permissions)) == 0;
  if (done && name_.empty()) {
    // A dangling link, or a file made since `existing` was read, makes the
    // plain link fail; replacing then still works. link never replaces, so
    // the file gets a temporary name first and is then renamed over what is
    // there: for that instant it has a name a SIGKILL could leave behind.
    done = !replacing && posix::linkNamelessFile(fdOf(file_), directoryFd, target.c_str());
    for (int attempt = 0; !done && attempt < 100; ++attempt) {
      name_ = temporaryName();
      cleanupSlot_ = claimCleanupSlot(directoryFd, name_);
      if (cleanupSlot_ < 0) break;
      if (posix::linkNamelessFile(fdOf(file_), directoryFd, name_.c_str())) {
        done = ::renameat(directoryFd, name_.c_str(), directoryFd, target.c_str()) == 0;
        if (done) name_.clear();
        break;
      }
      const int error = errno;
      name_.clear();
      releaseCleanupSlot(cleanupSlot_);
      cleanupSlot_ = -1;
      if (error != EEXIST) break;
    }
  } else if (done) {
    done =
        file_.close() && ::renameat(directoryFd, name_.c_str(), directoryFd, target.c_str()) == 0;
    if (done) name_.clear();
  }
  discard();
  return done;
}

void PendingFile::preferNamedFiles(bool named) { preferNamed = named; }

bool isSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

NameRules nameRules() {
#if defined(__APPLE__)
  return {.unicodeOnly = true};  // its file systems store names as Unicode
#else
  return {};
#endif
}

std::string foldCase(std::string_view name) {
  if (!isValidUtf8(name)) return std::string(name);
  std::string folded;
  while (!name.empty()) {
    const std::size_t length =
        static_cast<unsigned char>(name.front()) < 0x80 ? 1 : utf8Sequence(name).length;
    appendUtf8(folded, lowerCase(decodeUtf8(name.substr(0, length))));
    name.remove_prefix(length);
  }
  return folded;
}

PathParts splitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::size_t pathLimit() { return PATH_MAX; }

std::filesystem::path fileSystemPath(const std::string& path) { return path; }

ErrorCode changeDirectory(const std::string& path) {
  return ::chdir(path.c_str()) == 0 ? 0 : errno;
}

ProcessStart prepareProcess() {
  ProcessStart start;
  bool* closed[] = {&start.inputClosed, &start.outputClosed, &start.errorClosed};
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    if (::open("/dev/null", O_RDWR) != fd) std::abort();
    *closed[fd] = true;
  }
  // A write past a file-size limit then fails with a message instead of
  // killing the process half-way through a local file.
  std::signal(SIGXFSZ, SIG_IGN);
  return start;
}

std::vector<std::string> arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

bool isTerminal(StandardStream stream) { return ::isatty(static_cast<int>(stream)) == 1; }

ErrorCode writeStandard(StandardStream stream, std::span<const char> data) {
  const int fd = static_cast<int>(stream);
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      // A descriptor someone else made non-blocking: wait until it takes more.
      pollfd wait{fd, POLLOUT, 0};
      ::poll(&wait, 1, -1);
      continue;
    }
    if (put <= 0) return put < 0 ? errno : EIO;
    data = data.subspan(static_cast<std::size_t>(put));
  }
  return 0;
}

void installInterruptCleanup() {
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

void restoreTerminalOnSignals() {
  if (::tcgetattr(STDIN_FILENO, &savedTerminal) == 0) terminalSaved.store(true);
}

void stopThisProcess() { ::raise(SIGTSTP); }

std::string_view endOfInputKeys() { return "Ctrl-D"; }

}  // namespace discshell::platform
