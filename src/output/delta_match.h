// --patch's search for the bytes a write replaces in the bytes it writes, so
// that a delta carries only what changed.
//
// The method is the one rsync and VCDIFF encoders use: the old bytes (one
// entry's data, or one directory) are indexed in blocks by a hash of each
// block's first 32 bytes, then a rolling hash of 32 bytes goes over the new
// bytes one byte at a time; a hit is checked byte by byte and grown both
// ways as far as the bytes agree, so a match starts and ends at the exact
// byte whatever the block. It finds matches at any shift in one pass, which
// insertions and deletions inside a text need, and costs a table lookup per
// byte only where nothing matches: where the bytes agree it compares them
// as memcmp does. The rolling hash is a gear hash (shift by two, add a
// random word per byte), two instructions a byte; the index holds at most
// 2^18 blocks in 2^19 slots of 8 bytes (4 MiB), the blocks growing beyond
// 32 bytes for entries beyond 8 MiB; one index lives at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace discshell {

/// The bytes a hash covers, and so the shortest match the search finds.
inline constexpr std::int64_t kMatchWindow = 32;

/// Bytes at increasing offsets from a file or a stream.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  /// Fills `out` with the bytes at `offset`; false when they cannot all be
  /// read. Offsets only grow from one call to the next.
  [[nodiscard]] virtual bool readAt(std::int64_t offset, std::span<unsigned char> out) = 0;
};

/// A stretch of a file read through one buffer, so that many small reads
/// near one another cost one system call.
class FileWindow {
 public:
  explicit FileWindow(std::size_t capacity = std::size_t{64} << 10) : capacity_(capacity) {}
  /// From now on reads the `length` bytes of `file` from `begin` on.
  void attach(const platform::File* file, std::int64_t begin, std::int64_t length);
  /// The bytes [at, at + size) of the stretch (`size` at most the capacity),
  /// valid until the next call; null when they lie outside the stretch or
  /// cannot be read. With `backward` the buffer is filled up to them, for
  /// a reader going towards the stretch's start.
  [[nodiscard]] const unsigned char* view(std::int64_t at, std::size_t size, bool backward = false);

 private:
  std::size_t capacity_;
  std::vector<unsigned char> buffer_;
  const platform::File* file_ = nullptr;
  std::int64_t begin_ = 0;
  std::int64_t length_ = 0;
  std::int64_t bufferAt_ = 0;  ///< offset in the stretch of buffer_[0]
  std::size_t filled_ = 0;
};

/// A stretch of the image: the old bytes of a write.
struct ImageStretch {
  std::int64_t begin = 0;
  std::int64_t length = 0;
  friend bool operator==(const ImageStretch&, const ImageStretch&) = default;
};

/// New bytes [offset, offset + length): from the image at `from` when set
/// (a COPY), else the new bytes themselves (an ADD).
struct MatchRun {
  std::int64_t offset = 0;
  std::int64_t length = 0;
  std::optional<std::int64_t> from;
};

/// Finds runs of new bytes in one stretch of the image at a time.
class DeltaMatcher {
 public:
  explicit DeltaMatcher(const platform::File& image) : image_(image) {}

  /// Describes the new bytes [from, to) that `reader` gives as runs copied
  /// from `old` (positions in the image) and runs added, appending at most
  /// `maxRuns` (at least 2) to `runs`. Returns the offset up to which the
  /// runs describe the new bytes: `to`, or less when the runs ran out. No
  /// value when the new bytes cannot be read. Old bytes that cannot be read
  /// are matched by nothing.
  [[nodiscard]] std::optional<std::int64_t> match(ByteReader& reader, std::int64_t from,
                                                  std::int64_t to, const ImageStretch& old,
                                                  std::size_t maxRuns, std::vector<MatchRun>& runs);

  /// Whether `reader`'s `length` new bytes look like an edit of `old`: a
  /// few samples of them found in the old bytes near the same place or the
  /// same place from the end. False for a file written anew, whose search
  /// would find nothing. No value when the new bytes cannot be read.
  [[nodiscard]] std::optional<bool> resembles(ByteReader& reader, std::int64_t length,
                                              const ImageStretch& old);

 private:
  class Scan;
  bool index(const ImageStretch& old);
  void insert(std::uint64_t hash, std::int64_t offset);
  [[nodiscard]] std::optional<std::int64_t> find(std::uint64_t hash) const;

  const platform::File& image_;
  FileWindow old_;
  std::optional<ImageStretch> indexed_;
  std::int64_t spacing_ = kMatchWindow;
  int slotShift_ = 64;
  std::vector<std::uint64_t> slots_;
  std::vector<unsigned char> newBytes_;
  std::optional<std::int64_t> lastShift_;  ///< old minus new offset of the last match
};

}  // namespace discshell
