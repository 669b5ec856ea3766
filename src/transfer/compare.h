// Whether a local file still holds what x wrote for an entry.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "volume/image_file.h"

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

/// The bytes x writes for an entry whose data starts at `position` and
/// claims `byteCount` bytes: as many as the image holds of them.
[[nodiscard]] std::int64_t extractedLength(std::int64_t imageLength, std::int32_t position,
                                           std::int32_t byteCount);

/// Whether `local` holds exactly the bytes x writes for that entry.
[[nodiscard]] Comparison compareWithEntry(ByteComparer& compare, const platform::File& local,
                                          const ImageFile& image, std::int32_t position,
                                          std::int32_t byteCount);

}  // namespace discshell
