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

/// Every occurrence of one byte string, overlapping ones included, in
/// linear time whatever the bytes: positions whose first and last bytes
/// fit are picked out a block at a time by a loop the compiler turns into
/// vector instructions, and from each such position a Knuth-Morris-Pratt
/// automaton reads on until it has nothing begun, so that no byte is ever
/// compared twice against the same start ("aaaa" in a run of "a" costs what
/// any other text costs). memmem and the standard library's searchers were
/// measured slower (bench/search.sh), and memmem is missing on Windows.
class ByteSearch {
 public:
  /// Called with the offset of each occurrence from the stretch's start, in order.
  using MatchSink = std::function<void(std::int64_t offset)>;

  /// `pattern` is not empty.
  explicit ByteSearch(std::string_view pattern);

  /// Every occurrence within `data`, handed to `match` as its offset in
  /// `data` plus `base`.
  void findIn(std::span<const unsigned char> data, std::int64_t base, const MatchSink& match) const;

  /// Every occurrence within `length` bytes of `input` from `inputPosition`,
  /// read in pieces of 1 MiB (an occurrence that spans two pieces is found
  /// once) through one buffer kept for the next call, reporting each piece to
  /// the progress counter. Returns how many bytes could be read: fewer only
  /// where the input ends or cannot be read. A negative position or length
  /// reads nothing.
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
