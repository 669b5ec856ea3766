// Room src/platform/: the one room that talks to the operating system
// (files, local directories without following links, nameless output
// files, the kernel's copies and clones, terminals, signals, SHA-256). It
// includes nothing else of ours. Everything above it is the same on every
// platform; what differs lives in one implementation file per platform:
// posix.cc with posix_linux.cc (nameless files, the kernel's copy and clone)
// or posix_generic.cc (macOS, the BSDs), and windows.cc.
//
// Names and paths are UTF-8 everywhere above this layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_names.h"

namespace discshell::platform {

/// A system error number (errno values; Windows maps its codes to them).
using ErrorCode = int;
/// The system's words for an error, as strerror gives them.
[[nodiscard]] std::string errorText(ErrorCode code);
/// Whether a write failed for want of room (a full disk, a quota), so that
/// every further write there fails the same way.
[[nodiscard]] bool isOutOfSpace(ErrorCode code);

enum class FileKind { kNone, kRegular, kDirectory, kSymbolicLink, kBlockDevice, kOther };

/// Which file this is, whatever name or link leads to it.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  std::uint64_t fileHigh = 0;  ///< the upper half of a 128-bit file id (ReFS); else 0
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// i keeps one for each of up to 100,000 entries it adds: the two narrow
// fields share eight bytes.
struct FileStatus {
  std::int64_t size = 0;
  FileIdentity identity;
  std::int64_t modified = 0;      ///< last write, in nanoseconds
  std::int64_t changed = 0;       ///< last change of data or status, in nanoseconds
  std::uint32_t permissions = 0;  ///< the 0777 bits; 0 where the platform has none
  FileKind kind = FileKind::kNone;
  /// The same file, and nothing written to it or changed about it since.
  [[nodiscard]] bool unchangedSince(const FileStatus& earlier) const {
    return identity == earlier.identity && size == earlier.size && modified == earlier.modified &&
           changed == earlier.changed && kind == earlier.kind;
  }
};

/// An open file, closed by its owner on every path.
class File {
 public:
  File() = default;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  [[nodiscard]] bool valid() const { return handle_ != kInvalid; }
  /// The descriptor (POSIX) or HANDLE (Windows).
  [[nodiscard]] std::intptr_t handle() const { return handle_; }
  std::intptr_t release();
  /// Closes now; false when the system reports an error (a lost write).
  bool close();

  /// Reads up to `out.size()` bytes at `position`, going on after short
  /// reads; returns how many were read: fewer only at the end or on error.
  [[nodiscard]] std::size_t readAt(std::int64_t position, std::span<unsigned char> out) const;
  /// Writes all of `data` at `position`; false when the file refuses any of
  /// it, and `writeError` then says why.
  [[nodiscard]] bool writeAt(std::int64_t position, std::span<const unsigned char> data);
  /// Why the last write that failed failed (ENOSPC on a full disk); 0 while none did.
  [[nodiscard]] ErrorCode writeError() const { return writeError_; }
  [[nodiscard]] std::optional<FileStatus> status() const;
  /// Whether the file is still as `earlier` found it; false when its
  /// status cannot be read.
  [[nodiscard]] bool unchangedSince(const FileStatus& earlier) const {
    const auto now = status();
    return now && now->unchangedSince(earlier);
  }
  /// The length: a regular file's size, a block device's end.
  [[nodiscard]] std::optional<std::int64_t> length() const;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t handle_ = kInvalid;
  ErrorCode writeError_ = 0;
};

/// The image: read-only, other programs may still read and write it. Only
/// a regular file or a block device opens, and a FIFO never blocks the open.
[[nodiscard]] std::optional<File> openImage(const std::string& path);
/// A local file named by the user (links followed), for reading, with the
/// same rules as the image.
[[nodiscard]] std::optional<File> openForReading(const std::string& path);
/// What stands at `path`, links followed; no value when nothing does.
[[nodiscard]] std::optional<FileStatus> statPath(const std::string& path);

class PendingFile;

/// An open local directory. Its entries are reached relative to it and a
/// symbolic link is never followed into or through, so whatever is renamed
/// meanwhile, nothing is read or written outside the directories entered.
/// (Windows reaches them by its path instead, and holds it open so that it
/// cannot be renamed; a rename above it between a check and a use remains.)
class Directory {
 public:
  /// The current working directory.
  [[nodiscard]] static std::optional<Directory> current();
  /// A directory named by the user (links followed).
  [[nodiscard]] static std::optional<Directory> open(const std::string& path);

  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;
  [[nodiscard]] std::optional<Directory> duplicate() const;

  /// The subdirectory `name`, made first (0777 less the umask) when
  /// `create` is set and nothing stands there. No value when it cannot be
  /// entered; `found` then says what stands there (kNone: nothing).
  [[nodiscard]] std::optional<Directory> enter(std::string_view name, bool create,
                                               FileKind& found) const;
  /// What stands at `name`: a link itself, or with `followLink` what it
  /// leads to. Kind kNone when nothing does; no value when it cannot be told.
  [[nodiscard]] std::optional<FileStatus> entryStatus(std::string_view name,
                                                      bool followLink = false) const;
  /// The regular file `name`, for reading; never through a link, and a FIFO
  /// never blocks the open.
  [[nodiscard]] std::optional<File> openFile(std::string_view name) const;
  /// The same; with no file, `error` says why (EISDIR or EINVAL for what is
  /// no regular file).
  [[nodiscard]] std::optional<File> openFile(std::string_view name, ErrorCode& error) const;
  /// A new file in this directory that has no name until it is committed.
  [[nodiscard]] std::optional<PendingFile> createPending() const;
  /// Hands every name in this directory but "." and ".." to `visit`, in the
  /// order the system lists them; false when the directory cannot be read,
  /// even after some names were handed out.
  [[nodiscard]] bool listNames(const std::function<void(std::string_view name)>& visit) const;
  /// For tests: every listing fails, as on a read error, once it has handed
  /// out `names` names; no value: only where the system fails.
  static void failListingsAfter(std::optional<std::size_t> names);
  /// Whether the file system takes names here that differ only in letter
  /// case as one file, as it says itself (Linux: the directory's casefold
  /// flag, or a FAT file system; macOS: pathconf; Windows: the directory's
  /// case-sensitivity flag, else whether its own name opens in another
  /// case). False where it cannot tell.
  [[nodiscard]] bool foldsCase() const;

 private:
  friend class PendingFile;
  explicit Directory(File handle) : handle_(std::move(handle)) {}
  File handle_;
  std::string path_;  ///< where the platform works by paths (Windows)
};

/// A file being written that appears under its name only once complete.
/// Where the platform allows it the file has no name at all until then
/// (Linux: O_TMPFILE; Windows: marked for deletion should the process
/// die), so not even SIGKILL leaves it behind; elsewhere it has a temporary
/// name ".discshell-PID-N.tmp" that the destructor, a failed commit and the
/// signal handlers of `installInterruptCleanup` remove.
class PendingFile {
 public:
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  [[nodiscard]] File& file() { return file_; }
  /// Puts the file at `name` in its directory, replacing what stands there
  /// in one step. `existing` is what `entryStatus(name, true)` gave: a
  /// regular file there passes its permission bits on, as cp does. False
  /// when the file cannot be put there; it is then gone.
  [[nodiscard]] bool commit(std::string_view name, const std::optional<FileStatus>& existing);

  /// For tests: use named temporary files even where nameless ones work.
  static void preferNamedFiles(bool named);

 private:
  friend class Directory;
  PendingFile(Directory directory, File file, std::string name, int cleanupSlot);
  void discard();
  Directory directory_;
  File file_;
  std::string name_;      ///< the temporary name; empty while nameless or once done
                          ///< (Windows: the name of the file marked for deletion)
  int cleanupSlot_ = -1;  ///< where the signal handlers find `name_`
};

/// The kernel's own copy of `length` bytes from `in` at `inPosition` to `out`
/// at `outPosition`, the data never passing through the process. Returns how
/// many bytes it copied: fewer where the input ends, where the kernel
/// declines (then the caller copies the rest itself), or on an error.
[[nodiscard]] std::int64_t copyInKernel(const File& in, std::int64_t inPosition, File& out,
                                        std::int64_t outPosition, std::int64_t length);
/// The unit modulo which an input and an output position must agree for
/// `copyInKernel` to run at full speed: the page size, or the output's file
/// system block size where that is larger (a shared block needs it). 0 where
/// the kernel does not copy.
[[nodiscard]] std::int64_t kernelCopyAlignment(const File& out);
/// Makes the empty file `out` share all of `in`'s blocks where the file
/// system can (a reflink); false where it cannot, and `out` is then as it was.
[[nodiscard]] bool cloneWholeFile(const File& in, File& out);

/// A name that stays inside its directory and that the platform can hold
/// as given: not empty, not "." or "..", no "/" or NUL; on Windows also none
/// of its reserved device names and characters, and valid UTF-8.
[[nodiscard]] bool isSafeLocalName(std::string_view name);
/// The names this system's folders can hold (see local_names.h).
[[nodiscard]] NameRules nameRules();
/// `name` in one letter case, as a folder that folds case compares names
/// (Windows: its upper case; elsewhere Unicode's lower case of each
/// character). A name that is not valid UTF-8 stays as it is.
[[nodiscard]] std::string foldCase(std::string_view name);
/// A path split into the directory that holds what it names ("." for a bare
/// name) and its last component (empty when the path ends in a separator).
struct PathParts {
  std::string directory;
  std::string name;
};
[[nodiscard]] PathParts splitPath(const std::string& path);
/// The longest local path the system takes, in bytes.
[[nodiscard]] std::size_t pathLimit();

/// A path for the standard library's file streams.
[[nodiscard]] std::filesystem::path fileSystemPath(const std::string& path);
/// Makes `path` the current directory; 0 or the reason it could not.
[[nodiscard]] ErrorCode changeDirectory(const std::string& path);

enum class StandardStream { kInput, kOutput, kError };

/// What `prepareProcess` found: the standard streams that were closed.
struct ProcessStart {
  bool inputClosed = false;
  bool outputClosed = false;
  bool errorClosed = false;
};

/// Runs first: opens the null device on any standard stream that is closed
/// (so no file opened later takes its place and the image is never read as
/// commands), sets binary mode and UTF-8 where the platform needs it, and
/// makes a write past a file-size limit fail instead of killing the process.
ProcessStart prepareProcess();
/// The command-line arguments after the program name, in UTF-8.
[[nodiscard]] std::vector<std::string> arguments(int argc, char** argv);
[[nodiscard]] bool isTerminal(StandardStream stream);
/// Writes all of `data` to standard output or error, waiting where the
/// stream was made non-blocking by someone else. 0, or why it failed.
[[nodiscard]] ErrorCode writeStandard(StandardStream stream, std::span<const char> data);

/// Ctrl-C and the other signals that end a process: a handler first removes
/// every named temporary file (and restores the terminal the line editor
/// changed), then the process ends by the same signal, so its caller still
/// sees it. Signals the caller set to be ignored stay ignored.
void installInterruptCleanup();
/// Remembers the terminal's settings as they are now, so that a signal that
/// ends the run puts them back (the line editor changes them while it reads).
void restoreTerminalOnSignals();
/// Stops this process, and no other, as a terminal's Ctrl-Z does; returns
/// when it is continued.
void stopThisProcess();
/// The keys that end the input at a terminal: "Ctrl-D" (Windows: "Ctrl-Z Enter").
[[nodiscard]] std::string_view endOfInputKeys();

}  // namespace discshell::platform
