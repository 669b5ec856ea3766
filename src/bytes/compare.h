// Comparing stretches of two open files in bounded pieces.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace discshell {

enum class Comparison { kSame, kDifferent, kUnreadable };

/// Compares stretches of two files through two buffers of 64 KiB that it
/// reuses for every comparison, reading only while the bytes agree.
class ByteComparer {
 public:
  [[nodiscard]] Comparison operator()(const platform::File& a, std::int64_t aPosition,
                                      const platform::File& b, std::int64_t bPosition,
                                      std::int64_t length);

 private:
  std::vector<unsigned char> left_;
  std::vector<unsigned char> right_;
};

}  // namespace discshell
