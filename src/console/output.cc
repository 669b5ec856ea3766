#include "console/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace discshell {

FdOutputBuffer::FdOutputBuffer(int fd, int initialError) : fd_(fd), error_(initialError) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

FdOutputBuffer::~FdOutputBuffer() { drain(); }

bool FdOutputBuffer::writeOut(const char* data, std::size_t size) {
  while (size > 0 && error_ == 0) {
    const ssize_t put = ::write(fd_, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      // A descriptor someone else made non-blocking: wait until it takes more.
      pollfd wait{fd_, POLLOUT, 0};
      ::poll(&wait, 1, -1);
      continue;
    }
    if (put <= 0) {
      error_ = put < 0 ? errno : EIO;
      break;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return error_ == 0;
}

bool FdOutputBuffer::drain() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  // After a failure, what is written is dropped: it could never arrive.
  return pending == 0 ? error_ == 0 : writeOut(buffer_.data(), pending);
}

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type ch) {
  if (!drain()) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize FdOutputBuffer::xsputn(const char* data, std::streamsize size) {
  const auto count = static_cast<std::size_t>(size);
  if (count > static_cast<std::size_t>(epptr() - pptr())) {
    if (!drain()) return 0;
    // Large pieces (the bytes p prints) go out without a copy.
    if (count >= buffer_.size()) return writeOut(data, count) ? size : 0;
  }
  std::memcpy(pptr(), data, count);
  pbump(static_cast<int>(count));
  return size;
}

int FdOutputBuffer::sync() { return drain() ? 0 : -1; }

int streamError(const std::ostream& stream) {
  if (const auto* buffer = dynamic_cast<const FdOutputBuffer*>(stream.rdbuf())) {
    if (buffer->error() != 0) return buffer->error();
  }
  return EIO;
}

}  // namespace discshell
