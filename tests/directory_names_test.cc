#include "volume/directory_names.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tools/image_builder.h"

namespace discshell {
namespace {

using tools::ImageBuilder;

// What `later` says of each entry of the directory at `offset`, in walk order.
std::vector<bool> laterAnswers(LaterNames& later, const ByteSource& source,
                               const VolumeGeometry& geometry, std::int32_t offset) {
  WindowedReader reader(source);
  std::vector<bool> answers;
  walkDirectory(source, geometry, offset, [&](const DirectoryEntry& entry) {
    answers.push_back(
        later.isLater(reader, entry.name, entry.recordPosition, hashName(entry.name)));
    return WalkStep::kContinue;
  });
  return answers;
}

// Hashes narrowed to one bit: every name shares its hash with others, and
// only the names read again from the image tell them apart.
TEST(DirectoryNames, TellNamesThatShareAHashApartByReadingThem) {
  ImageBuilder image(512);
  image.header(8, 1);
  const auto records = image.directory(
      1,
      {{"a", "D", 0, 5}, {"b", "D", 0, 5}, {"c", "D", 0, 5}, {"a", "D", 0, 5}, {"d", "D", 0, 5}});
  image.directory(
      2,
      {{"a", "D", 0, 5}, {"b", "D", 0, 5}, {"c", "D", 0, 5}, {"b", "D", 0, 5}, {"a", "D", 0, 5}});
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
    EXPECT_EQ(laterAnswers(later, source, geometry, 512),
              (std::vector<bool>{false, false, false, true, false}));
  }
  // With every name of one hash, a repeat is told by the name read again,
  // that of the first entry of the hash or of a later, other name.
  LaterNames oneHash(source, geometry, 1024, 0);
  EXPECT_EQ(laterAnswers(oneHash, source, geometry, 1024),
            (std::vector<bool>{false, false, false, true, true}));
}

// More names than are sorted whole, of every length a name may have: the
// index, which reads names without building strings, finds the first entry
// of each by the name as a string, and a name it does not hold nowhere.
TEST(DirectoryNames, FindTheFirstEntryOfEachOfFortyThousandNames) {
  constexpr std::size_t kNames = 40000;
  std::vector<tools::EntrySpec> entries;
  for (std::size_t i = 0; i < kNames; ++i) {
    std::string name = std::to_string(i);
    name.resize(std::max<std::size_t>(name.size(), 1 + i % 31), 'x');
    entries.push_back({name, "D", 0, 5});
  }
  entries.push_back(entries[30]);  // a second entry of a 31-byte name
  ImageBuilder image(2048);
  image.header(1500, 1);
  const auto records = image.directory(1, entries, 1450);
  const MemorySource source(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  WindowedReader reader(source);
  const DirectoryNames names(source, geometry, 2048);
  for (std::size_t i = 0; i < kNames; ++i) {
    const auto found = names.first(reader, entries[i].name);
    ASSERT_TRUE(found) << entries[i].name;
    ASSERT_EQ(found->entry.recordPosition, records[i]) << entries[i].name;
  }
  EXPECT_FALSE(names.first(reader, "40000"));
  LaterNames later(source, geometry, 2048);
  const std::vector<bool> answers = laterAnswers(later, source, geometry, 2048);
  EXPECT_EQ(std::count(answers.begin(), answers.end(), true), 1);
  EXPECT_TRUE(answers.back());
}

// Every bit of a name counts in its hash, whatever the name's length and
// wherever the bit lies: a hash that lost one would give names alike in all
// but that bit one hash, which the indexes survive only slowly. (Two of these
// names share a hash by chance about once in 200,000 runs.)
TEST(HashName, ChangesWithEveryBitOfAName) {
  for (const char fill : {'\0', '\xFF'}) {
    for (std::size_t length = 1; length <= 33; ++length) {
      const std::string name(length, fill);
      const std::uint32_t hash = hashName(name);
      for (std::size_t byte = 0; byte < length; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
          std::string other = name;
          other[byte] = static_cast<char>(other[byte] ^ (1 << bit));
          ASSERT_NE(hashName(other), hash) << length << " bytes, byte " << byte << ", bit " << bit;
        }
      }
    }
  }
}

}  // namespace
}  // namespace discshell
