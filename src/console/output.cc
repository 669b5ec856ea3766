#include "console/output.h"

#include <cerrno>
#include <cstring>

namespace discshell {

StandardOutputBuffer::StandardOutputBuffer(platform::StandardStream stream, int initialError)
    : stream_(stream), error_(initialError) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

StandardOutputBuffer::~StandardOutputBuffer() { drain(); }

bool StandardOutputBuffer::writeOut(const char* data, std::size_t size) {
  if (beforeWrite_ && size > 0) beforeWrite_();
  if (error_ == 0) error_ = platform::writeStandard(stream_, {data, size});
  return error_ == 0;
}

bool StandardOutputBuffer::drain() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  // After a failure, what is written is dropped: it could never arrive.
  return pending == 0 ? error_ == 0 : writeOut(buffer_.data(), pending);
}

StandardOutputBuffer::int_type StandardOutputBuffer::overflow(int_type ch) {
  if (!drain()) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize StandardOutputBuffer::xsputn(const char* data, std::streamsize size) {
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

int StandardOutputBuffer::sync() { return drain() ? 0 : -1; }

int streamError(const std::ostream& stream) {
  if (const auto* buffer = dynamic_cast<const StandardOutputBuffer*>(stream.rdbuf())) {
    if (buffer->error() != 0) return buffer->error();
  }
  return EIO;
}

}  // namespace discshell
