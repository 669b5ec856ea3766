#include "volume/byte_source.h"

#include <algorithm>
#include <cstring>

#include "volume/geometry.h"

namespace discshell {

std::size_t MemorySource::readAt(std::int64_t position, std::span<unsigned char> out) const {
  if (position < 0 || static_cast<std::uint64_t>(position) >= bytes_.size()) return 0;
  const auto start = static_cast<std::size_t>(position);
  const std::size_t count = std::min(out.size(), bytes_.size() - start);
  std::memcpy(out.data(), bytes_.data() + start, count);
  return count;
}

bool readExact(const ByteSource& source, std::int32_t position, std::span<unsigned char> out) {
  if (position < 0) return false;
  return source.readAt(position, out) == out.size();
}

WindowedReader::WindowedReader(const ByteSource& source, std::size_t maxWindow)
    : source_(source),
      maxWindow_(maxWindow),
      refillSize_(std::min<std::size_t>(maxWindow, 4096)),
      window_(std::make_unique_for_overwrite<unsigned char[]>(maxWindow)) {}

bool WindowedReader::refillAndRead(std::int32_t position, std::span<unsigned char> out) {
  if (position < 0) return false;
  if (out.size() > maxWindow_) return readExact(source_, position, out);
  const std::size_t want = std::max(refillSize_, out.size());
  windowStart_ = position;
  windowLength_ = source_.readAt(position, {window_.get(), want});
  refillSize_ = std::min(refillSize_ * 2, maxWindow_);
  if (windowLength_ < out.size()) return false;
  std::memcpy(out.data(), window_.get(), out.size());
  return true;
}

std::optional<std::int32_t> WindowedReader::read32(std::int32_t position) {
  std::array<unsigned char, 4> bytes{};
  if (!read(position, bytes)) return std::nullopt;
  return readBigEndian32(bytes);
}

}  // namespace discshell
