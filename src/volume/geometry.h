// Position arithmetic as the volume does it, and where its blocks lie in the image.
#pragma once

#include <cstdint>
#include <optional>

#include "volume/byte_order.h"
#include "volume/byte_source.h"

namespace discshell {

/// Byte positions and sizes are signed 32-bit and wrap on overflow, as two's
/// complement does. The arithmetic is done unsigned and converted once, which
/// C++20 defines, so no overflow is ever undefined.
[[nodiscard]] constexpr std::int32_t addWrapped(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr std::int32_t subtractWrapped(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr std::int32_t multiplyWrapped(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

/// Filled once at start-up and only read afterwards.
struct VolumeGeometry {
  std::int32_t volumeOffset = 0;         ///< byte position of the volume in the image
  std::int32_t blockSize = 0;            ///< bytes per block, from the header
  std::int32_t volumeSize = 0;           ///< block count times block size
  std::int32_t rootDirectoryOffset = 0;  ///< byte position of the root's first block
};

/// Byte position of a block: block * block size + volume offset, wrapping.
[[nodiscard]] constexpr std::int32_t blockToOffset(const VolumeGeometry& geometry,
                                                   std::int32_t block) {
  return addWrapped(multiplyWrapped(block, geometry.blockSize), geometry.volumeOffset);
}

/// Reads the volume header behind `volumeOffset`; no value when any of its
/// three fields cannot be read whole (a negative offset or a short image).
[[nodiscard]] std::optional<VolumeGeometry> readVolumeGeometry(const ByteSource& image,
                                                               std::int32_t volumeOffset);

}  // namespace discshell
