// Local files that appear under their final name only when they are
// complete, and that no interruption leaves behind.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "volume/image_file.h"

namespace discshell {

/// A name that stays inside the current directory: not empty, not "." or
/// "..", and without "/" or NUL. Names come from the image, which may be hostile.
[[nodiscard]] bool isSafeLocalName(std::string_view name);

/// What is at `path` now, following links; no value when nothing is.
[[nodiscard]] std::optional<struct stat> statPath(const std::string& path);

/// `path` joined to `directory` ("" for the current directory).
[[nodiscard]] std::string localPath(const std::string& directory, std::string_view name);

/// A file being written in a directory, with no name until `commit`. Where
/// the file system allows it, the file is nameless (O_TMPFILE) until then,
/// so nothing, not even SIGKILL or a power cut, can leave it behind;
/// elsewhere it has a temporary name that the destructor, a failed commit
/// and the handlers of `removeTemporaryFilesOnSignals` all remove.
class PendingFile {
 public:
  /// A new file in `directory` ("" for the current one), with the
  /// permissions a plain create gives (0666 less the umask); no value when
  /// the directory does not allow it.
  [[nodiscard]] static std::optional<PendingFile> create(const std::string& directory);

  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  [[nodiscard]] int fd() const { return fd_.get(); }
  /// Puts the file at `path` (in the directory it was created in), replacing
  /// what is there in one step. `existing` is what `statPath(path)` gave: a
  /// regular file there passes its permission bits on, as cp does. False
  /// when the file cannot be put there; it is then removed.
  [[nodiscard]] bool commit(const std::string& path, const std::optional<struct stat>& existing);

  /// For tests: use named temporary files even where nameless ones work.
  static void preferNamedFiles(bool named);

 private:
  PendingFile(FileDescriptor fd, std::string directory, std::string name, int cleanupSlot)
      : fd_(std::move(fd)),
        directory_(std::move(directory)),
        name_(std::move(name)),
        cleanupSlot_(cleanupSlot) {}
  [[nodiscard]] bool linkInto(const std::string& path, bool replace);
  void discard();
  FileDescriptor fd_;
  std::string directory_;
  std::string name_;      ///< the temporary name; empty while nameless or once done
  int cleanupSlot_ = -1;  ///< where the signal handlers find `name_`
};

/// Installs handlers for SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (each
/// unless it is ignored) that remove any named temporary file and then end
/// the process by the same signal, so the caller still sees it.
void removeTemporaryFilesOnSignals();

}  // namespace discshell
