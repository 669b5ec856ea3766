// The thin layer over POSIX files: descriptors owned by objects, and the
// image opened read-only for the whole run.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "volume/byte_source.h"

namespace discshell {

/// Owns one file descriptor and closes it on every path.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  int release();
  /// Closes now; returns false when close reports an error (a lost write).
  bool reset();

 private:
  int fd_ = -1;
};

/// Opens a file for reading without blocking on a FIFO and without following
/// it into a directory: directories and anything else that is neither a
/// regular file nor a block device give no value.
[[nodiscard]] std::optional<FileDescriptor> openForReading(const std::string& path);

/// Reads up to `out.size()` bytes at `position` of `fd`, going on after
/// short reads; returns how many were read: fewer only at the end or on error.
[[nodiscard]] std::size_t readAt(int fd, std::int64_t position, std::span<unsigned char> out);

/// The length of an open file: its size, or for a block device its end.
[[nodiscard]] std::optional<std::int64_t> fileLength(int fd);

/// True when two stats are of the same file (device and inode), as a hard
/// or symbolic link to it gives.
[[nodiscard]] inline bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// The image, open read-only from start-up to the end of the run.
class ImageFile final : public ByteSource {
 public:
  /// No value when the path cannot be opened for reading or is a directory.
  [[nodiscard]] static std::optional<ImageFile> open(const std::string& path);

  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override;
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] const struct stat& identity() const { return identity_; }

 private:
  ImageFile(FileDescriptor fd, const struct stat& identity)
      : fd_(std::move(fd)), identity_(identity) {}
  FileDescriptor fd_;
  struct stat identity_ {};
};

}  // namespace discshell
