// How the volume writes a number: 32 bits, big-endian, two's complement.
// The one reader and the one writer of it; the tool reads every field and
// writes every record and header field through these, and so does the image
// builder in tools/.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace discshell {

/// Big-endian bytes taken as a signed two's-complement number.
[[nodiscard]] constexpr std::int32_t readBigEndian32(const std::array<unsigned char, 4>& bytes) {
  const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  return static_cast<std::int32_t>(value);
}

/// The four bytes at `at` of `bytes` (which must hold them) as a number.
[[nodiscard]] inline std::int32_t readBigEndian32(std::span<const unsigned char> bytes,
                                                  std::size_t at) {
  return readBigEndian32({bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]});
}
[[nodiscard]] inline std::int32_t readBigEndian32(const std::string& bytes, std::size_t at) {
  return readBigEndian32({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()}, at);
}

/// The four bytes of `value`, most significant first.
[[nodiscard]] constexpr std::array<unsigned char, 4> bigEndian32(std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  return {static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
          static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
}

/// Writes `value` over the four bytes at `at` of `bytes` (which must hold them).
inline void writeBigEndian32(std::span<unsigned char> bytes, std::size_t at, std::int32_t value) {
  const auto field = bigEndian32(value);
  std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}
inline void writeBigEndian32(std::string& bytes, std::size_t at, std::int32_t value) {
  writeBigEndian32({reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()}, at, value);
}

/// `value` as a string of its four bytes: a field to write.
[[nodiscard]] inline std::string bigEndian32Text(std::int32_t value) {
  const auto field = bigEndian32(value);
  return {field.begin(), field.end()};
}

}  // namespace discshell
