// Walking a directory's entries in the order they lie in the image.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "volume/byte_source.h"
#include "volume/geometry.h"

namespace discshell {

/// What a walk reads of one entry.
struct DirectoryEntry {
  std::string name;  ///< at most 31 bytes, up to the first NUL
  std::string type;  ///< at most 4 bytes, up to the first NUL
  std::int32_t byteCount = 0;
  std::int32_t lastCopyIndex = 0;
  std::int32_t startBlock = 0;
};

enum class WalkStep { kContinue, kStop };
using EntryVisitor = std::function<WalkStep(const DirectoryEntry&)>;

/// Visits the entries of the directory whose first block lies at byte
/// position `directoryOffset`, in image order. The walk ends at a flags word
/// of 0, when the visitor says stop, when a field cannot be read whole, or
/// when the next entry would not lie beyond the current one; so every walk
/// ends, whatever the image holds.
void walkDirectory(const ByteSource& image, const VolumeGeometry& geometry,
                   std::int32_t directoryOffset, const EntryVisitor& visit);

/// What a lookup found: the first entry of that name in walk order.
struct FoundEntry {
  std::int32_t startBlock = 0;
  std::int32_t byteCount = 0;
};

/// Looks `name` up byte for byte (case-sensitive, nothing trimmed). Returns
/// no value when no entry matches and also when the first match has start
/// block 0, which every caller reports as not found.
[[nodiscard]] std::optional<FoundEntry> findEntry(const ByteSource& image,
                                                  const VolumeGeometry& geometry,
                                                  std::int32_t directoryOffset,
                                                  std::string_view name);

}  // namespace discshell
