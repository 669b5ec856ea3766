#include "bytes/compare.h"

#include <algorithm>
#include <cstring>

#include "bytes/progress.h"

namespace discshell {

Comparison ByteComparer::operator()(const platform::File& a, std::int64_t aPosition,
                                    const platform::File& b, std::int64_t bPosition,
                                    std::int64_t length) {
  // The buffers grow to what the comparisons need, up to a chunk.
  const auto wanted = static_cast<std::size_t>(
      std::clamp<std::int64_t>(length, 0, static_cast<std::int64_t>(chunk_)));
  if (left_.size() < wanted) {
    left_.resize(wanted);
    right_.resize(wanted);
  }
  for (std::int64_t done = 0; done < length;) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(length - done, static_cast<std::int64_t>(chunk_)));
    if (a.readAt(aPosition + done, {left_.data(), n}) != n) return Comparison::kUnreadable;
    if (b.readAt(bPosition + done, {right_.data(), n}) != n) return Comparison::kUnreadable;
    if (std::memcmp(left_.data(), right_.data(), n) != 0) return Comparison::kDifferent;
    done += static_cast<std::int64_t>(n);
    reportProgress(static_cast<std::int64_t>(n));
  }
  return Comparison::kSame;
}

}  // namespace discshell
