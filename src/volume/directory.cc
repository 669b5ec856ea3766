#include "volume/directory.h"

#include <array>

#include "volume/layout.h"

namespace discshell {
namespace {

// Text up to its first NUL, at most `limit` bytes.
std::string terminatedText(std::span<const unsigned char> bytes, std::size_t limit) {
  std::string text;
  for (std::size_t i = 0; i < limit && i < bytes.size() && bytes[i] != 0; ++i) {
    text.push_back(static_cast<char>(bytes[i]));
  }
  return text;
}

std::optional<DirectoryEntry> readEntry(WindowedReader& reader, std::int32_t position) {
  std::array<unsigned char, layout::kTypeSize> type{};
  std::array<unsigned char, layout::kNameFieldSize> name{};
  const auto byteCount = reader.read32(addWrapped(position, layout::kByteCountField));
  const auto lastCopyIndex = reader.read32(addWrapped(position, layout::kLastCopyIndexField));
  const auto startBlock = reader.read32(addWrapped(position, layout::kStartBlockField));
  if (!reader.read(addWrapped(position, layout::kTypeField), type) ||
      !reader.read(addWrapped(position, layout::kNameField), name) || !byteCount ||
      !lastCopyIndex || !startBlock) {
    return std::nullopt;
  }
  DirectoryEntry entry;
  entry.type = terminatedText(type, layout::kTypeSize);
  entry.name = terminatedText(name, layout::kNameMaxLength);
  entry.byteCount = *byteCount;
  entry.lastCopyIndex = *lastCopyIndex;
  entry.startBlock = *startBlock;
  return entry;
}

struct WalkState {
  std::int32_t position;
  bool moreBlocksFollow;
};

// Moves past the entry at `state.position`. A multi-block directory goes on
// in the following block when fewer than 72 bytes (one shortest entry) would
// remain behind this entry; blocks count from the volume offset. Returns false
// when the walk cannot go on: an unreadable block header, or a next position
// that would not lie beyond the current one (a non-positive entry length or a
// wrap-around), which would otherwise let a damaged image loop for ever.
bool advance(WindowedReader& reader, const VolumeGeometry& geometry, std::int32_t lastCopyIndex,
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
      if (blockStart <= p) return false;
      const auto nextBlock = reader.read32(addWrapped(blockStart, layout::kNextBlockField));
      if (!nextBlock) return false;
      if (*nextBlock == layout::kNoNextBlock) state.moreBlocksFollow = false;
      next = addWrapped(blockStart, layout::kBlockHeaderSize);
    }
  }
  if (next <= p) return false;
  state.position = next;
  return true;
}

}  // namespace

void walkDirectory(const ByteSource& image, const VolumeGeometry& geometry,
                   std::int32_t directoryOffset, const EntryVisitor& visit) {
  WindowedReader reader(image);
  const auto firstNextBlock = reader.read32(addWrapped(directoryOffset, layout::kNextBlockField));
  if (!firstNextBlock) return;
  WalkState state{addWrapped(directoryOffset, layout::kBlockHeaderSize),
                  *firstNextBlock != layout::kNoNextBlock};
  for (;;) {
    const auto flags = reader.read32(addWrapped(state.position, layout::kFlagsField));
    if (!flags || *flags == 0) return;
    const auto entry = readEntry(reader, state.position);
    if (!entry || visit(*entry) == WalkStep::kStop) return;
    if (!advance(reader, geometry, entry->lastCopyIndex, state)) return;
  }
}

std::optional<FoundEntry> findEntry(const ByteSource& image, const VolumeGeometry& geometry,
                                    std::int32_t directoryOffset, std::string_view name) {
  std::optional<FoundEntry> found;
  // Names are compared as NUL-terminated strings; a stored name never holds a
  // NUL and never exceeds 31 bytes, so longer or NUL-bearing requests never match.
  walkDirectory(image, geometry, directoryOffset, [&](const DirectoryEntry& entry) {
    if (entry.name != name) return WalkStep::kContinue;
    found = FoundEntry{entry.startBlock, entry.byteCount};
    return WalkStep::kStop;
  });
  if (found && found->startBlock == 0) return std::nullopt;
  return found;
}

}  // namespace discshell
