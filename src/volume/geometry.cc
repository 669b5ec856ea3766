#include "volume/geometry.h"

#include "volume/layout.h"

namespace discshell {

std::optional<VolumeGeometry> readVolumeGeometry(const ByteSource& image,
                                                 std::int32_t volumeOffset) {
  WindowedReader reader(image, layout::kHeaderExtent);
  const auto blockSize = reader.read32(addWrapped(volumeOffset, layout::kBlockSizeField));
  const auto blockCount = reader.read32(addWrapped(volumeOffset, layout::kBlockCountField));
  const auto rootBlock = reader.read32(addWrapped(volumeOffset, layout::kRootBlockField));
  if (volumeOffset < 0 || !blockSize || !blockCount || !rootBlock) return std::nullopt;

  VolumeGeometry geometry;
  geometry.volumeOffset = volumeOffset;
  geometry.blockSize = *blockSize;
  geometry.volumeSize = multiplyWrapped(*blockCount, *blockSize);
  geometry.rootDirectoryOffset = blockToOffset(geometry, *rootBlock);
  return geometry;
}

}  // namespace discshell
