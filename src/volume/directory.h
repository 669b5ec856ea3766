// Walking a directory's entries in the order they lie in the image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volume/byte_source.h"
#include "volume/geometry.h"
#include "volume/layout.h"

namespace discshell {

/// What a walk reads of one entry.
struct DirectoryEntry {
  std::string name;  ///< at most 31 bytes, up to the first NUL
  std::string type;  ///< at most 4 bytes, up to the first NUL
  std::int32_t byteCount = 0;
  std::int32_t lastCopyIndex = 0;
  std::int32_t startBlock = 0;
  std::int32_t recordPosition = 0;  ///< byte position of the entry's record
};

/// Why a walk ended.
enum class WalkEnd {
  kRunning,     ///< not ended yet
  kEndMarker,   ///< a flags word of 0: the directory's proper end
  kStopped,     ///< the visitor ended it
  kUnreadable,  ///< a field lay outside the image (or outside the walk's limit)
  kNoProgress,  ///< the next entry would not lie beyond the current one
};

/// The stretch of the image a walk may read: [begin, end). A field that
/// reaches outside it cannot be read, as at the end of the image.
struct ByteRange {
  std::int64_t begin = 0;
  std::int64_t end = std::numeric_limits<std::int64_t>::max();
};

/// The state of one walk, small enough to keep one per level of a tree.
struct WalkState {
  std::int32_t position = 0;  ///< the entry to read next
  bool moreBlocksFollow = false;
  bool firstBlockIsLast = false;  ///< the first block's next-block field is -1
  WalkEnd end = WalkEnd::kRunning;
  ByteRange limit;
  /// One past the last byte of the furthest field read so far: a walk limited
  /// to any end at or beyond it reads exactly what this one has read.
  std::int64_t furthestRead = 0;
};

/// Starts a walk of the directory whose first block lies at `directoryOffset`.
[[nodiscard]] WalkState beginWalk(WindowedReader& reader, std::int32_t directoryOffset,
                                  ByteRange limit = {});

/// The next entry in image order, or no value once the walk has ended
/// (`state.end` then says why). Every walk ends, whatever the image holds.
[[nodiscard]] std::optional<DirectoryEntry> nextEntry(WindowedReader& reader,
                                                      const VolumeGeometry& geometry,
                                                      WalkState& state);

/// An entry's name, where its record lies and the numbers that say whether
/// commands find it: what a walk that indexes or matches names needs, read
/// without building strings. nextEntryName sets every field.
struct EntryName {
  std::int32_t recordPosition;
  std::int32_t byteCount;
  std::int32_t startBlock;
  std::uint8_t length;
  std::array<char, layout::kNameMaxLength> bytes;  ///< the name field, up to `length` its name
  [[nodiscard]] std::string_view name() const { return {bytes.data(), length}; }
};

/// As nextEntry, reading only what EntryName holds.
[[nodiscard]] std::optional<EntryName> nextEntryName(WindowedReader& reader,
                                                     const VolumeGeometry& geometry,
                                                     WalkState& state);

enum class WalkStep { kContinue, kStop };
using EntryVisitor = std::function<WalkStep(const DirectoryEntry&)>;

/// Visits the entries of a directory in image order; returns why the walk ended.
WalkEnd walkDirectory(const ByteSource& image, const VolumeGeometry& geometry,
                      std::int32_t directoryOffset, const EntryVisitor& visit);

/// Looks `name` up byte for byte (case-sensitive, nothing trimmed). Returns
/// no value when no entry matches and also when the first match has start
/// block 0, which every caller reports as not found.
[[nodiscard]] std::optional<DirectoryEntry> findEntry(const ByteSource& image,
                                                      const VolumeGeometry& geometry,
                                                      std::int32_t directoryOffset,
                                                      std::string_view name);
[[nodiscard]] std::optional<DirectoryEntry> findEntry(WindowedReader& reader,
                                                      const VolumeGeometry& geometry,
                                                      std::int32_t directoryOffset,
                                                      std::string_view name);

/// The record at `position` as a walk reads it; no value when it cannot be
/// read whole.
[[nodiscard]] std::optional<DirectoryEntry> recordAt(WindowedReader& reader,
                                                     const VolumeGeometry& geometry,
                                                     std::int32_t position);

/// A 32-bit hash of a name (or of any key made of one), keyed afresh in
/// every run: an image cannot be made to give many names one hash, which
/// would make telling them apart slow.
[[nodiscard]] std::uint32_t hashName(std::string_view name);

/// The block numbers of an entry's copies, its start block first: k + 1 of
/// them, or only the start block when k is below 0. No value when the list
/// cannot be read whole or runs past the end of the directory block that
/// holds the entry (with a block size below 1, when it has more than one).
[[nodiscard]] std::optional<std::vector<std::int32_t>> readCopyBlocks(
    WindowedReader& reader, const VolumeGeometry& geometry, const DirectoryEntry& entry);

}  // namespace discshell
