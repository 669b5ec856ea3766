// Finding every occurrence of a byte string in a stretch of an open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace discshell {

/// Every occurrence of one byte string, overlapping ones included, in time
/// in proportion to the bytes searched, whatever they are: positions whose
/// first and last bytes fit are picked out 128 at a time by a loop that the
/// compiler turns into vector instructions (SSE2 on any x86-64), and from
/// each such position a Knuth-Morris-Pratt automaton reads on until nothing
/// is begun, so a run of "a" searched for "aaab" costs what any other bytes
/// cost. Measured against the alternatives on the same bytes in memory
/// (bench/search_routines.cc, in BENCHMARKS.md), it finds a 12-byte text
/// on random bytes three to seven times as fast as glibc's memmem and eight
/// times or more as fast as std::boyer_moore_horspool_searcher and
/// std::search; on text, where first and last bytes fit more often, three
/// times as fast. memmem would also need a stand-in on Windows, which lacks it.
class ByteSearch {
 public:
  /// Files are read in pieces of this size: small enough that a piece stays
  /// in the processor's second-level cache from the read to the search.
  static constexpr std::int64_t kPieceBytes = 256 * 1024;

  /// Called with the offset of each occurrence from the stretch's start, in order.
  using MatchSink = std::function<void(std::int64_t offset)>;

  /// `pattern` is not empty.
  explicit ByteSearch(std::string_view pattern);

  /// Every occurrence within `data`, handed to `match` as its offset in
  /// `data` plus `base`.
  void findIn(std::span<const unsigned char> data, std::int64_t base, const MatchSink& match) const;

  /// Every occurrence within `length` bytes of `input` from `inputPosition`,
  /// read in pieces (an occurrence that spans two pieces is found once) through one buffer kept for
  /// the next call, reporting each piece to the progress counter. Returns how many bytes could be
  /// read: fewer only where the input ends or cannot be read. A negative position or length reads
  /// nothing.
  [[nodiscard]] std::int64_t findInFile(const platform::File& input, std::int64_t inputPosition,
                                        std::int64_t length, const MatchSink& match);

  [[nodiscard]] std::size_t size() const { return pattern_.size(); }

 private:
  /// The first position from `from` on, up to `lastStart`, where the first
  /// and the last byte fit; `lastStart` + 1 when there is none.
  [[nodiscard]] std::size_t nextCandidate(const unsigned char* data, std::size_t from,
                                          std::size_t lastStart) const;

  std::vector<unsigned char> pattern_;
  /// For each length of a matched beginning, the longest proper beginning
  /// of the pattern that also ends it (Knuth-Morris-Pratt's failure function).
  std::vector<std::size_t> fallback_;
  std::vector<unsigned char> buffer_;
};

}  // namespace discshell
