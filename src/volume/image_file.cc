#include "volume/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace discshell {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int FileDescriptor::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool FileDescriptor::reset() {
  if (fd_ < 0) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

std::optional<FileDescriptor> openForReading(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return std::nullopt;
  // Reads should wait for data like any ordinary read.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::nullopt;
  return fd;
}

std::optional<std::int64_t> fileLength(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  if (S_ISREG(info.st_mode)) return static_cast<std::int64_t>(info.st_size);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return std::nullopt;
  return static_cast<std::int64_t>(end);
}

std::optional<ImageFile> ImageFile::open(const std::string& path) {
  auto fd = openForReading(path);
  if (!fd) return std::nullopt;
  struct stat identity {};
  if (::fstat(fd->get(), &identity) != 0) return std::nullopt;
  return ImageFile(std::move(*fd), identity);
}

std::size_t readAt(int fd, std::int64_t position, std::span<unsigned char> out) {
  std::size_t done = 0;
  while (done < out.size() && position >= 0) {
    const ssize_t got = ::pread(fd, out.data() + done, out.size() - done,
                                static_cast<off_t>(position) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t ImageFile::readAt(std::int64_t position, std::span<unsigned char> out) const {
  return discshell::readAt(fd_.get(), position, out);
}

}  // namespace discshell
