// Local files that appear under their final name only when they are complete.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "volume/image_file.h"

namespace discshell {

/// A name that stays inside the current directory: not empty, not "." or
/// "..", and without "/" or NUL. Names come from the image, which may be hostile.
[[nodiscard]] bool isSafeLocalName(std::string_view name);

/// A temporary file in the current directory. `commit` renames it to its
/// final name; if it is never committed, or the commit fails, the temporary
/// file is removed, so a failed write leaves no trace and an earlier file of
/// the final name stays exactly as it was.
class PendingFile {
 public:
  /// Created with the permissions a plain create gives (0666 less the umask);
  /// no value when the current directory does not allow it.
  [[nodiscard]] static std::optional<PendingFile> create();

  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  [[nodiscard]] int fd() const { return fd_.get(); }
  /// Closes the file and renames it to `finalName`; false when either fails.
  [[nodiscard]] bool commit(const std::string& finalName);

 private:
  PendingFile(FileDescriptor fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
  FileDescriptor fd_;
  std::string name_;  ///< empty once committed or moved from
};

}  // namespace discshell
