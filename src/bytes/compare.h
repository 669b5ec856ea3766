// Comparing stretches of two open files in bounded pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace discshell {

enum class Comparison { kSame, kDifferent, kUnreadable };

/// Compares stretches of two files through two buffers of up to `chunk`
/// bytes (64 KiB unless given) that it reuses for every comparison, reading
/// only while the bytes agree.
class ByteComparer {
 public:
  static constexpr std::size_t kDefaultChunk = 64 * 1024;
  explicit ByteComparer(std::size_t chunk = kDefaultChunk) : chunk_(chunk) {}
  [[nodiscard]] Comparison operator()(const platform::File& a, std::int64_t aPosition,
                                      const platform::File& b, std::int64_t bPosition,
                                      std::int64_t length);

 private:
  std::size_t chunk_;
  std::vector<unsigned char> left_;
  std::vector<unsigned char> right_;
};

}  // namespace discshell
