// Positioned, bounds-checked reading of an image. Everything the tool reads
// from a volume goes through `readExact`, so a field that is not wholly there
// yields no value instead of stale bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace discshell {

/// Anything an image can be read from: the open image file, or memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  /// Reads up to `out.size()` bytes at a non-negative file position; returns
  /// how many were read: fewer at the end of the source or on a read error.
  [[nodiscard]] virtual std::size_t readAt(std::int64_t position,
                                           std::span<unsigned char> out) const = 0;
};

/// An image held in memory; the tests and the fuzzer read through it.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override;

 private:
  std::vector<unsigned char> bytes_;
};

/// Fills `out` from a signed 32-bit byte position. Returns false, leaving the
/// caller nothing to use, when the position is negative or the source ends first.
[[nodiscard]] bool readExact(const ByteSource& source, std::int32_t position,
                             std::span<unsigned char> out);

/// Serves the small field reads of one directory walk from a window of the
/// image that is refilled only when a read leaves it, so a walk costs about
/// one system call per window rather than one per field. It lives for a single
/// walk: nothing of a directory is kept between commands.
class WindowedReader {
 public:
  /// The window starts small, so a walk of a small directory reads little,
  /// and doubles on every refill up to `maxWindow`.
  explicit WindowedReader(const ByteSource& source, std::size_t maxWindow = 64 * 1024);
  /// Same contract as `readExact`.
  [[nodiscard]] bool read(std::int32_t position, std::span<unsigned char> out) {
    // Most reads of a walk lie in the window: those cost no call.
    const std::int64_t start = std::int64_t{position} - windowStart_;
    if (position >= 0 && start >= 0 &&
        start + static_cast<std::int64_t>(out.size()) <= static_cast<std::int64_t>(windowLength_)) {
      std::memcpy(out.data(), window_.get() + start, out.size());
      return true;
    }
    return refillAndRead(position, out);
  }
  /// A big-endian signed 32-bit field; no value when it cannot be read whole.
  [[nodiscard]] std::optional<std::int32_t> read32(std::int32_t position);

 private:
  [[nodiscard]] bool refillAndRead(std::int32_t position, std::span<unsigned char> out);
  const ByteSource& source_;
  std::size_t maxWindow_;
  std::size_t refillSize_;
  std::unique_ptr<unsigned char[]> window_;
  std::int64_t windowStart_ = 0;
  std::size_t windowLength_ = 0;
};

}  // namespace discshell
