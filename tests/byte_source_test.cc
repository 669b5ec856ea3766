#include "volume/byte_source.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "volume/geometry.h"

namespace discshell {
namespace {

std::vector<unsigned char> countingBytes(std::size_t n) {
  std::vector<unsigned char> bytes(n);
  std::iota(bytes.begin(), bytes.end(), static_cast<unsigned char>(0));
  return bytes;
}

TEST(ReadBigEndian32, TakesTheFirstByteAsMostSignificantAndTheResultAsSigned) {
  EXPECT_EQ(readBigEndian32({0x00, 0x00, 0x02, 0x00}), 512);
  EXPECT_EQ(readBigEndian32({0x12, 0x34, 0x56, 0x78}), 0x12345678);
  EXPECT_EQ(readBigEndian32({0xFF, 0xFF, 0xFF, 0xFF}), -1);
  EXPECT_EQ(readBigEndian32({0x80, 0x00, 0x00, 0x00}), INT32_MIN);
  EXPECT_EQ(readBigEndian32({0x7F, 0xFF, 0xFF, 0xFF}), INT32_MAX);
  EXPECT_EQ(readBigEndian32({0xFF, 0xFF, 0xFF, 0xEE}), -18);
}

TEST(ReadExact, FailsForEveryPositionThatLeavesTheFieldShort) {
  const MemorySource source(countingBytes(10));
  std::array<unsigned char, 4> field{};
  for (std::int32_t position = 0; position <= 6; ++position) {
    ASSERT_TRUE(readExact(source, position, field)) << position;
    EXPECT_EQ(field[0], position);
  }
  for (std::int32_t position = 7; position <= 12; ++position) {
    EXPECT_FALSE(readExact(source, position, field)) << position;
  }
  EXPECT_FALSE(readExact(source, -1, field));
  EXPECT_FALSE(readExact(source, INT32_MIN, field));
}

TEST(WindowedReader, ServesReadsAcrossWindowRefillsAndRefusesShortOnes) {
  const MemorySource source(countingBytes(100));
  WindowedReader reader(source, 16);
  std::array<unsigned char, 4> field{};
  // In order, backwards, straddling a window's end, and past the end of the source.
  for (std::int32_t position : {0, 4, 14, 30, 2, 96, 50}) {
    ASSERT_TRUE(reader.read(position, field)) << position;
    EXPECT_EQ(field[0], position);
    EXPECT_EQ(field[3], position + 3);
  }
  EXPECT_FALSE(reader.read(97, field));
  EXPECT_FALSE(reader.read(-4, field));
  EXPECT_EQ(reader.read32(0), 0x00010203);
  EXPECT_EQ(reader.read32(98), std::nullopt);
  // Larger than the window: read straight from the source.
  std::array<unsigned char, 40> wide{};
  ASSERT_TRUE(reader.read(60, wide));
  EXPECT_EQ(wide[39], 99);
  EXPECT_FALSE(reader.read(61, wide));
}

}  // namespace
}  // namespace discshell
