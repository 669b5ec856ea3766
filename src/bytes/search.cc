#include "bytes/search.h"

#include <algorithm>

#include "bytes/progress.h"

namespace discshell {
namespace {

// Positions tested at once for a first and a last byte that fit: a loop of
// fixed length over them becomes vector instructions, and one test of the
// least of a block serves 128 positions.
constexpr std::size_t kBlock = 128;

}  // namespace

ByteSearch::ByteSearch(std::string_view pattern)
    : pattern_(pattern.begin(), pattern.end()), fallback_(pattern.size(), 0) {
  for (std::size_t i = 1, matched = 0; i < pattern_.size(); ++i) {
    while (matched > 0 && pattern_[i] != pattern_[matched]) matched = fallback_[matched - 1];
    if (pattern_[i] == pattern_[matched]) ++matched;
    fallback_[i] = matched;
  }
}

std::size_t ByteSearch::nextCandidate(const unsigned char* data, std::size_t from,
                                      std::size_t lastStart) const {
  const unsigned char first = pattern_.front();
  const unsigned char last = pattern_.back();
  const unsigned char* lastBytes = data + pattern_.size() - 1;
  std::size_t position = from;
  while (position + kBlock <= lastStart + 1) {
    // Zero exactly where both bytes fit; the least of a block is then zero.
    unsigned char least = 0xFF;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const auto misfit = static_cast<unsigned char>((data[position + i] ^ first) |
                                                     (lastBytes[position + i] ^ last));
      least = std::min(least, misfit);
    }
    if (least == 0) break;
    position += kBlock;
  }
  for (; position <= lastStart; ++position) {
    if (data[position] == first && lastBytes[position] == last) return position;
  }
  return lastStart + 1;
}

void ByteSearch::findIn(std::span<const unsigned char> data, std::int64_t base,
                        const MatchSink& match) const {
  const std::size_t size = pattern_.size();
  if (data.size() < size) return;
  const std::size_t lastStart = data.size() - size;
  // `matched` bytes of the pattern end just before `position`. With none
  // begun, no occurrence starts before the next candidate, so the automaton
  // may jump there.
  std::size_t position = 0;
  std::size_t matched = 0;
  for (;;) {
    if (matched == 0) {
      position = nextCandidate(data.data(), position, lastStart);
      if (position > lastStart) return;
    }
    const unsigned char byte = data[position];
    while (matched > 0 && byte != pattern_[matched]) matched = fallback_[matched - 1];
    if (byte == pattern_[matched]) ++matched;
    ++position;
    if (matched == size) {
      match(base + static_cast<std::int64_t>(position - size));
      matched = fallback_[size - 1];
    }
    if (position == data.size()) return;
  }
}

std::int64_t ByteSearch::findInFile(const platform::File& input, std::int64_t inputPosition,
                                    std::int64_t length, const MatchSink& match) {
  if (inputPosition < 0 || length <= 0) return 0;
  // Each piece is read behind the last size - 1 bytes of the one before, so
  // that an occurrence spanning the two is found; none fits wholly within
  // those bytes, so none is found twice.
  const std::size_t keep = pattern_.size() - 1;
  buffer_.resize(keep + static_cast<std::size_t>(std::min(length, kPieceBytes)));
  std::int64_t done = 0;
  std::size_t kept = 0;
  while (done < length) {
    const auto want = static_cast<std::size_t>(std::min(length - done, kPieceBytes));
    const std::size_t got = input.readAt(inputPosition + done, {buffer_.data() + kept, want});
    if (got == 0) break;
    const std::size_t filled = kept + got;
    findIn({buffer_.data(), filled}, done - static_cast<std::int64_t>(kept), match);
    done += static_cast<std::int64_t>(got);
    reportProgress(static_cast<std::int64_t>(got));
    if (got < want) break;
    kept = std::min(keep, filled);
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(filled - kept),
              buffer_.begin() + static_cast<std::ptrdiff_t>(filled), buffer_.begin());
  }
  return done;
}

}  // namespace discshell
