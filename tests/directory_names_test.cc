#include "volume/directory_names.h"

#include <gtest/gtest.h>

#include "tools/image_builder.h"

namespace discshell {
namespace {

using tools::ImageBuilder;

// Hashes narrowed to one bit: every name shares its hash with others, and
// only the names read again from the image tell them apart.
TEST(DirectoryNames, TellNamesThatShareAHashApartByReadingThem) {
  ImageBuilder image(512);
  image.header(8, 1);
  const auto records = image.directory(
      1,
      {{"a", "D", 0, 5}, {"b", "D", 0, 5}, {"c", "D", 0, 5}, {"a", "D", 0, 5}, {"d", "D", 0, 5}});
  const MemorySource source(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  WindowedReader reader(source);
  const DirectoryNames names(source, geometry, 512, 1);
  const auto firstA = names.first(reader, "a");
  ASSERT_TRUE(firstA);
  EXPECT_EQ(firstA->entry.recordPosition, records[0]);
  EXPECT_EQ(names.first(reader, "d")->entry.recordPosition, records[4]);
  EXPECT_FALSE(names.first(reader, "e"));
  EXPECT_EQ(names.slotOf("a", static_cast<std::int32_t>(records[0])), firstA->slot);
  EXPECT_NE(names.slotOf("a", static_cast<std::int32_t>(records[3])), firstA->slot);
  EXPECT_TRUE(names.mayRepeat(hashName("a")));
  EXPECT_FALSE(DirectoryNames(source, geometry, 512).mayRepeat(hashName("b")));
  // Asked twice in walk order, the same answers: only the second "a" is later.
  LaterNames later(source, geometry, 512, 1);
  for (int walk = 0; walk < 2; ++walk) {
    std::vector<bool> answers;
    walkDirectory(source, geometry, 512, [&](const DirectoryEntry& entry) {
      answers.push_back(
          later.isLater(reader, entry.name, entry.recordPosition, hashName(entry.name)));
      return WalkStep::kContinue;
    });
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false, true, false}));
  }
}

}  // namespace
}  // namespace discshell
