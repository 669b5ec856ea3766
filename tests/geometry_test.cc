#include "volume/geometry.h"

#include <gtest/gtest.h>

#include "console/startup.h"
#include "tools/image_builder.h"

namespace discshell {
namespace {

MemorySource sourceOf(const tools::ImageBuilder& image) { return MemorySource(image.bytes()); }

TEST(BlockToOffset, MultipliesAddsTheVolumeOffsetAndWrapsAsSigned32Bit) {
  VolumeGeometry geometry;
  geometry.blockSize = 512;
  geometry.volumeOffset = 16;
  EXPECT_EQ(blockToOffset(geometry, 0), 16);
  EXPECT_EQ(blockToOffset(geometry, 3), 1552);
  EXPECT_EQ(blockToOffset(geometry, -1), -496);
  EXPECT_EQ(blockToOffset(geometry, 4194304), INT32_MIN + 16);  // 2^22 * 2^9 wraps
  geometry.blockSize = -1;
  EXPECT_EQ(blockToOffset(geometry, INT32_MIN), INT32_MIN + 16);
}

TEST(ReadVolumeGeometry, ReadsTheHeaderBehindTheVolumeOffset) {
  for (std::int32_t volumeOffset : {0, 16, 1000}) {
    tools::ImageBuilder image(2048, volumeOffset);
    image.header(100, 3);
    const auto geometry = readVolumeGeometry(sourceOf(image), volumeOffset);
    ASSERT_TRUE(geometry) << volumeOffset;
    EXPECT_EQ(geometry->blockSize, 2048);
    EXPECT_EQ(geometry->volumeSize, 204800);
    EXPECT_EQ(geometry->rootDirectoryOffset, 3 * 2048 + volumeOffset);
    EXPECT_EQ(geometry->volumeOffset, volumeOffset);
  }
}

TEST(ReadVolumeGeometry, WrapsTheVolumeSizeAndRootOffset) {
  tools::ImageBuilder image(65536);
  image.header(65536, 32768);  // 2^32 bytes; root at 2^31
  const auto geometry = readVolumeGeometry(sourceOf(image), 0);
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->volumeSize, 0);
  EXPECT_EQ(geometry->rootDirectoryOffset, INT32_MIN);
}

TEST(ReadVolumeGeometry, GivesNoValueUnlessAllThreeFieldsAreThere) {
  tools::ImageBuilder image(512, 16);
  image.header(8, 1);
  ASSERT_EQ(image.bytes().size(), 16u + 104u);
  for (std::size_t length = 0; length < image.bytes().size(); ++length) {
    std::vector<unsigned char> prefix(image.bytes().begin(),
                                      image.bytes().begin() + static_cast<long>(length));
    EXPECT_FALSE(readVolumeGeometry(MemorySource(prefix), 16)) << length;
  }
  EXPECT_TRUE(readVolumeGeometry(sourceOf(image), 16));
  EXPECT_FALSE(readVolumeGeometry(sourceOf(image), -16));
  EXPECT_FALSE(readVolumeGeometry(sourceOf(image), INT32_MAX - 50));  // +76 wraps negative
}

TEST(ParseVolumeOffset, ReadsNumbersAsStrtolWithBaseZeroAndSaturates) {
  EXPECT_EQ(parseVolumeOffset("16"), 16);
  EXPECT_EQ(parseVolumeOffset("0x10"), 16);
  EXPECT_EQ(parseVolumeOffset("0X1f"), 31);
  EXPECT_EQ(parseVolumeOffset("020"), 16);
  EXPECT_EQ(parseVolumeOffset(" \t\n\v\f\r+12abc"), 12);
  EXPECT_EQ(parseVolumeOffset("-8"), -8);
  EXPECT_EQ(parseVolumeOffset("0x"), 0);
  EXPECT_EQ(parseVolumeOffset("09"), 0);
  EXPECT_EQ(parseVolumeOffset("volume"), 0);
  EXPECT_EQ(parseVolumeOffset(""), 0);
  EXPECT_EQ(parseVolumeOffset("2147483648"), INT32_MAX);
  EXPECT_EQ(parseVolumeOffset("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(parseVolumeOffset("-2147483649"), INT32_MIN);
  EXPECT_EQ(parseVolumeOffset("-0x80000000"), INT32_MIN);
}

}  // namespace
}  // namespace discshell
