// Where the records of a directory go in its blocks, so that the walk reads
// them back: behind each block's header, one after another; a block that
// another follows takes no further record once fewer than 72 bytes would
// remain behind its last one (the walk moves on to the next block there);
// the last block holds the rest and the end marker. Measuring a directory
// and writing it both go by this one routine.
#pragma once

#include <cstdint>

#include "volume/layout.h"

namespace discshell {

class BlockLayout {
 public:
  explicit BlockLayout(std::int32_t blockSize) : blockSize_(blockSize) {}

  /// Begins the next block: the directory's last one when `last`.
  void beginBlock(bool last) {
    offset_ = layout::kBlockHeaderSize;
    last_ = last;
  }
  /// Whether a record of `length` bytes fits in the block behind the
  /// records placed there (and, in the last block, before the end marker).
  [[nodiscard]] bool fits(std::int64_t length) const {
    return length <= blockSize_ - offset_ - (last_ ? layout::kEndMarkerSize : 0);
  }
  /// Places a record of `length` bytes, which fits; returns its offset in the block.
  std::int64_t place(std::int64_t length) {
    const std::int64_t at = offset_;
    offset_ += length;
    return at;
  }
  /// Takes back the last record placed, `length` bytes long.
  void unplace(std::int64_t length) { offset_ -= length; }
  /// Whether a record of `length` bytes, placed now, leaves the block full.
  [[nodiscard]] bool closedBy(std::int64_t length) const {
    return !last_ && blockSize_ - (offset_ + length) < layout::kMinEntrySize;
  }
  /// Whether the block takes no further record: one that another follows,
  /// with fewer than 72 bytes left behind its last record.
  [[nodiscard]] bool full() const { return !last_ && blockSize_ - offset_ < layout::kMinEntrySize; }
  /// The offset just past the block's last record.
  [[nodiscard]] std::int64_t end() const { return offset_; }
  /// Whether records of `bytes` bytes in all fit in a last block of their own.
  [[nodiscard]] bool lastBlockHolds(std::int64_t bytes) const {
    return bytes <= blockSize_ - layout::kBlockHeaderSize - layout::kEndMarkerSize;
  }

 private:
  std::int64_t blockSize_;
  std::int64_t offset_ = layout::kBlockHeaderSize;
  bool last_ = false;
};

}  // namespace discshell
