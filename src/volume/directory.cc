#include "volume/directory.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>

#include "volume/layout.h"

namespace discshell {
namespace {

// Reads through the shared window, failing outside the walk's limit, and
// keeps the walk's furthest read up to date.
class LimitedReader {
 public:
  LimitedReader(WindowedReader& reader, WalkState& state) : reader_(reader), state_(state) {}

  [[nodiscard]] bool read(std::int32_t position, std::span<unsigned char> out) {
    const std::int64_t end = std::int64_t{position} + static_cast<std::int64_t>(out.size());
    if (position < state_.limit.begin || end > state_.limit.end || !reader_.read(position, out)) {
      return false;
    }
    state_.furthestRead = std::max(state_.furthestRead, end);
    return true;
  }
  [[nodiscard]] std::optional<std::int32_t> read32(std::int32_t position) {
    std::array<unsigned char, 4> bytes{};
    if (!read(position, bytes)) return std::nullopt;
    return readBigEndian32(bytes);
  }

 private:
  WindowedReader& reader_;
  WalkState& state_;
};

// The text of a field up to its first NUL, at most `limit` bytes.
// Fields are short, and a walk reads millions: a search inline costs less
// than a call.
std::string terminatedText(const unsigned char* field, std::size_t limit) {
  return {reinterpret_cast<const char*>(field),
          reinterpret_cast<const char*>(std::find(field, field + limit, 0))};
}

std::int32_t fieldAt(const std::array<unsigned char, layout::kMinEntrySize>& record,
                     std::int32_t offset) {
  const auto at = static_cast<std::size_t>(offset);
  return readBigEndian32({record[at], record[at + 1], record[at + 2], record[at + 3]});
}

// The fields a walk reads lie between the record's flags word, read first,
// and its start block, its last 4 bytes: one read of all 72 bytes succeeds
// exactly when the reads of each field would, and reaches exactly as far.
using RecordBytes = std::array<unsigned char, layout::kMinEntrySize>;
bool readRecord(LimitedReader& reader, std::int32_t position, RecordBytes& record) {
  // A field whose position would pass the signed 32-bit range cannot be read.
  return position <= std::numeric_limits<std::int32_t>::max() - layout::kStartBlockField &&
         reader.read(position, record);
}

DirectoryEntry decodeEntry(const RecordBytes& record, std::int32_t position) {
  DirectoryEntry entry;
  entry.type = terminatedText(record.data() + layout::kTypeField, layout::kTypeSize);
  entry.name = terminatedText(record.data() + layout::kNameField, layout::kNameMaxLength);
  entry.byteCount = fieldAt(record, layout::kByteCountField);
  entry.lastCopyIndex = fieldAt(record, layout::kLastCopyIndexField);
  entry.startBlock = fieldAt(record, layout::kStartBlockField);
  entry.recordPosition = position;
  return entry;
}

EntryName decodeName(const RecordBytes& record, std::int32_t position) {
  EntryName name{};
  name.recordPosition = position;
  name.byteCount = fieldAt(record, layout::kByteCountField);
  name.startBlock = fieldAt(record, layout::kStartBlockField);
  std::memcpy(name.bytes.data(), record.data() + layout::kNameField, name.bytes.size());
  name.length = static_cast<std::uint8_t>(std::find(name.bytes.begin(), name.bytes.end(), '\0') -
                                          name.bytes.begin());
  return name;
}

// Moves past the entry at `state.position`. A multi-block directory goes on
// in the following block when fewer than 72 bytes (one shortest entry) would
// remain behind this entry; blocks count from the volume offset. Ends the
// walk on an unreadable block header, and on a next position that would not
// lie beyond the current one (a non-positive entry length or a wrap-around),
// which would otherwise let a damaged image loop for ever.
void advance(LimitedReader& reader, const VolumeGeometry& geometry, std::int32_t lastCopyIndex,
             WalkState& state) {
  const std::int32_t p = state.position;
  const std::int32_t copyBytes = multiplyWrapped(layout::kCopyBlockSize, lastCopyIndex);
  std::int32_t next = addWrapped(p, addWrapped(layout::kMinEntrySize, copyBytes));
  const std::int32_t blockSize = geometry.blockSize;
  if (state.moreBlocksFollow && blockSize > layout::kMinEntrySize) {
    // blockSize > 72 rules out both a zero divisor and INT32_MIN / -1.
    const std::int32_t intoBlock = subtractWrapped(p, geometry.volumeOffset) % blockSize;
    const std::int32_t remaining = subtractWrapped(blockSize, intoBlock);
    if (remaining < addWrapped(copyBytes, 2 * layout::kMinEntrySize)) {
      const std::int32_t blockStart = addWrapped(p, remaining);
      if (blockStart <= p) {
        state.end = WalkEnd::kNoProgress;
        return;
      }
      const auto nextBlock = reader.read32(addWrapped(blockStart, layout::kNextBlockField));
      if (!nextBlock) {
        state.end = WalkEnd::kUnreadable;
        return;
      }
      if (*nextBlock == layout::kNoNextBlock) state.moreBlocksFollow = false;
      next = addWrapped(blockStart, layout::kBlockHeaderSize);
    }
  }
  if (next <= p) {
    state.end = WalkEnd::kNoProgress;
    return;
  }
  state.position = next;
}

}  // namespace

WalkState beginWalk(WindowedReader& reader, std::int32_t directoryOffset, ByteRange limit) {
  WalkState state;
  state.limit = limit;
  LimitedReader limited(reader, state);
  const auto firstNextBlock = limited.read32(addWrapped(directoryOffset, layout::kNextBlockField));
  if (!firstNextBlock) {
    state.end = WalkEnd::kUnreadable;
    return state;
  }
  state.position = addWrapped(directoryOffset, layout::kBlockHeaderSize);
  state.firstBlockIsLast = *firstNextBlock == layout::kNoNextBlock;
  state.moreBlocksFollow = !state.firstBlockIsLast;
  return state;
}

namespace {

// Reads the record at the walk's position with `decode`, then moves past it.
template <class Decode>
auto nextDecoded(WindowedReader& reader, const VolumeGeometry& geometry, WalkState& state,
                 Decode decode)
    -> std::optional<std::invoke_result_t<Decode, const RecordBytes&, std::int32_t>> {
  if (state.end != WalkEnd::kRunning) return std::nullopt;
  LimitedReader limited(reader, state);
  const auto flags = limited.read32(addWrapped(state.position, layout::kFlagsField));
  if (!flags || *flags == 0) {
    state.end = flags ? WalkEnd::kEndMarker : WalkEnd::kUnreadable;
    return std::nullopt;
  }
  RecordBytes record{};
  if (!readRecord(limited, state.position, record)) {
    state.end = WalkEnd::kUnreadable;
    return std::nullopt;
  }
  auto decoded = decode(record, state.position);
  advance(limited, geometry, fieldAt(record, layout::kLastCopyIndexField), state);
  return decoded;
}

}  // namespace

std::optional<DirectoryEntry> nextEntry(WindowedReader& reader, const VolumeGeometry& geometry,
                                        WalkState& state) {
  return nextDecoded(reader, geometry, state, decodeEntry);
}

std::optional<EntryName> nextEntryName(WindowedReader& reader, const VolumeGeometry& geometry,
                                       WalkState& state) {
  return nextDecoded(reader, geometry, state, decodeName);
}

WalkEnd walkDirectory(const ByteSource& image, const VolumeGeometry& geometry,
                      std::int32_t directoryOffset, const EntryVisitor& visit) {
  WindowedReader reader(image);
  WalkState state = beginWalk(reader, directoryOffset);
  while (const auto entry = nextEntry(reader, geometry, state)) {
    if (visit(*entry) == WalkStep::kStop) return WalkEnd::kStopped;
  }
  return state.end;
}

std::optional<DirectoryEntry> findEntry(WindowedReader& reader, const VolumeGeometry& geometry,
                                        std::int32_t directoryOffset, std::string_view name) {
  // Names are compared as NUL-terminated strings; a stored name never holds a
  // NUL and never exceeds 31 bytes, so longer or NUL-bearing requests never match.
  WalkState state = beginWalk(reader, directoryOffset);
  while (auto entry = nextEntry(reader, geometry, state)) {
    if (entry->name != name) continue;
    if (entry->startBlock == 0) return std::nullopt;
    return entry;
  }
  return std::nullopt;
}

std::optional<DirectoryEntry> findEntry(const ByteSource& image, const VolumeGeometry& geometry,
                                        std::int32_t directoryOffset, std::string_view name) {
  WindowedReader reader(image);
  return findEntry(reader, geometry, directoryOffset, name);
}

std::optional<DirectoryEntry> recordAt(WindowedReader& reader, const VolumeGeometry& geometry,
                                       std::int32_t position) {
  WalkState state;
  state.position = position;
  return nextEntry(reader, geometry, state);
}

std::uint32_t hashName(std::string_view name) {
  static const std::uint64_t seed = [] {
    std::random_device random;
    return (std::uint64_t{random()} << 32) ^ random() ^ 0x9E3779B97F4A7C15ULL;
  }();
  const auto mix = [](std::uint64_t hash, std::uint64_t word) {
    return std::rotl((hash ^ word) * 0xFF51AFD7ED558CCDULL, 31) * 0xC4CEB9FE1A85EC53ULL;
  };
  std::uint64_t hash = seed ^ name.size();
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + i, 8);
    hash = mix(hash, word);
  }
  // The last few bytes one by one: a copy of a length known only here
  // would be a call, and names are short.
  if (i < name.size()) {
    std::uint64_t word = 0;
    for (std::size_t byte = 0; i + byte < name.size(); ++byte) {
      word |= std::uint64_t{static_cast<unsigned char>(name[i + byte])} << (8 * byte);
    }
    hash = mix(hash, word);
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDULL;
  hash ^= hash >> 33;
  return static_cast<std::uint32_t>(hash);
}

std::optional<std::vector<std::int32_t>> readCopyBlocks(WindowedReader& reader,
                                                        const VolumeGeometry& geometry,
                                                        const DirectoryEntry& entry) {
  const std::int64_t count = entry.lastCopyIndex < 0 ? 1 : std::int64_t{entry.lastCopyIndex} + 1;
  const std::int64_t first = std::int64_t{entry.recordPosition} + layout::kStartBlockField;
  const std::int64_t end = first + layout::kCopyBlockSize * count;
  if (geometry.blockSize > 0) {
    const std::int64_t blockSize = geometry.blockSize;
    const std::int64_t intoBlock =
        ((std::int64_t{entry.recordPosition} - geometry.volumeOffset) % blockSize + blockSize) %
        blockSize;
    if (end > std::int64_t{entry.recordPosition} - intoBlock + blockSize) return std::nullopt;
  } else if (count > 1) {
    return std::nullopt;
  }
  if (end > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  std::vector<std::int32_t> blocks;
  for (std::int64_t position = first; position < end; position += layout::kCopyBlockSize) {
    const auto block = reader.read32(static_cast<std::int32_t>(position));
    if (!block) return std::nullopt;
    blocks.push_back(*block);
  }
  return blocks;
}

}  // namespace discshell
