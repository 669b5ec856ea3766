#include "volume/directory.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tools/image_builder.h"
#include "volume/block_layout.h"

namespace discshell {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

struct Walked {
  std::vector<std::string> names;
  std::vector<DirectoryEntry> entries;
};

Walked walk(const std::vector<unsigned char>& bytes, std::int32_t directoryOffset,
            std::int32_t volumeOffset = 0) {
  const MemorySource source(bytes);
  // A truncated header still lets the walk run on zero geometry.
  const VolumeGeometry geometry =
      readVolumeGeometry(source, volumeOffset).value_or(VolumeGeometry{});
  Walked walked;
  walkDirectory(source, geometry, directoryOffset, [&](const DirectoryEntry& entry) {
    walked.names.push_back(entry.name);
    walked.entries.push_back(entry);
    return WalkStep::kContinue;
  });
  return walked;
}

Walked walk(const ImageBuilder& image, std::int32_t directoryOffset,
            std::int32_t volumeOffset = 0) {
  return walk(image.bytes(), directoryOffset, volumeOffset);
}

EntrySpec named(const std::string& name, std::int32_t lastCopyIndex = 0) {
  return {name, "FILE", 1, 7, lastCopyIndex};
}

using Names = std::vector<std::string>;

// Block size 512, volume offset 0, a directory in blocks 1 and 2 (file
// positions 512 and 1024). Entries are placed by hand, and a decoy stands
// wherever a walk that got the block geometry wrong would look next.
TEST(WalkDirectory, CrossesWhenFewerThan72BytesRemainBehindAnEntry) {
  ImageBuilder image(512);
  image.header(8, 1);
  image.blockHeaderAt(512, 2);
  image.blockHeaderAt(1024, -1);
  image.entryAt(512 + 20, named("first", 5));  // 92 bytes long
  for (std::int32_t offset : {112, 184, 256, 328}) image.entryAt(512 + offset, named("mid"));
  image.entryAt(512 + 400, named("at400"));  // R = 112 < 144: next block
  image.entryAt(512 + 472, named("decoy"));
  image.entryAt(1024 + 20, named("next-block"));
  EXPECT_EQ(walk(image, 512).names,
            (Names{"first", "mid", "mid", "mid", "mid", "at400", "next-block"}));
}

TEST(WalkDirectory, CrossesExactlyWhenRemainingBytesAreBelow4kPlus144) {
  // An entry at block offset 360 leaves R = 152: with k = 0, 1 and 2 (R equal
  // to 4k + 144) the next entry follows it; with k = 3 it is in the next block.
  for (std::int32_t k : {0, 1, 2, 3}) {
    ImageBuilder image(512);
    image.header(8, 1);
    image.blockHeaderAt(512, 2);
    image.blockHeaderAt(1024, -1);
    image.entryAt(512 + 20, named("first", 13));  // 124 bytes long
    for (std::int32_t offset : {144, 216, 288}) image.entryAt(512 + offset, named("mid"));
    image.entryAt(512 + 360, named("at360", k));
    image.entryAt(512 + 360 + 72 + 4 * k, named("follows"));
    image.entryAt(1024 + 20, named("second"));  // "follows" leaves R = 80 - 4k: crossing
    const Names crossed{"first", "mid", "mid", "mid", "at360", "second"};
    Names followed = crossed;
    followed.insert(followed.end() - 1, "follows");
    EXPECT_EQ(walk(image, 512).names, k < 3 ? followed : crossed) << "k = " << k;
  }
}

// A volume written byte by byte, without the builder or the reader's layout
// constants: a header, a block of two entries, a crossing into a last block.
TEST(WalkDirectory, ReadsAVolumeWrittenAsLiteralBytes) {
  const std::vector<std::pair<std::size_t, std::vector<unsigned char>>> pokes = {
      {76, {0, 0, 1, 0}},                // block size 256
      {80, {0, 0, 0, 3}},                // block count 3
      {100, {0, 0, 0, 1}},               // root directory in block 1
      {256, {0, 0, 0, 2}},               // block 1: more blocks follow
      {276, {0, 0, 0, 1}},               // entry "alpha": flags
      {284, {'T', 'E', 'X', 'T'}},       //   type
      {288, {0, 0, 0, 0x77}},            //   not read
      {292, {0, 0, 0, 42}},              //   byte count
      {308, {'a', 'l', 'p', 'h', 'a'}},  //   name; k = 0 at 340
      {344, {0, 0, 0, 5}},               //   start block
      {348, {0, 0, 0, 1}},               // entry "beta", 96 bytes long: R = 164 < 168
      {356, {'D', 'I', 'R', 0}},         //   type
      {364, {0, 0, 1, 0}},               //   byte count 256
      {380, {'b', 'e', 't', 'a'}},       //   name
      {412, {0, 0, 0, 6}},               //   k = 6
      {416, {0, 0, 0, 2}},               //   start block
      {512, {0xFF, 0xFF, 0xFF, 0xFF}},   // block 2: the last
      {532, {0, 0, 0, 9}},               // entry "gamma": flags
      {548, {0xFF, 0xFF, 0xFF, 0xF6}},   //   byte count -10
      {564, {'g', 'a', 'm', 'm', 'a'}},  //   name
      {600, {0, 0, 0, 7}},               //   start block; a zero flags word follows
  };
  std::vector<unsigned char> bytes(768);
  for (const auto& [offset, field] : pokes) std::copy(field.begin(), field.end(), &bytes[offset]);
  const auto geometry = readVolumeGeometry(MemorySource(bytes), 0);
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->blockSize, 256);
  EXPECT_EQ(geometry->volumeSize, 768);
  EXPECT_EQ(geometry->rootDirectoryOffset, 256);
  const Walked walked = walk(bytes, 256);
  ASSERT_EQ(walked.names, (Names{"alpha", "beta", "gamma"}));
  const auto& e = walked.entries;
  EXPECT_EQ(std::make_tuple(e[0].type, e[0].byteCount, e[0].lastCopyIndex, e[0].startBlock),
            std::make_tuple("TEXT", 42, 0, 5));
  EXPECT_EQ(std::make_tuple(e[1].type, e[1].byteCount, e[1].lastCopyIndex, e[1].startBlock),
            std::make_tuple("DIR", 256, 6, 2));
  EXPECT_EQ(std::make_tuple(e[2].type, e[2].byteCount, e[2].startBlock, e[2].recordPosition),
            std::make_tuple("", -10, 7, 532));
}

TEST(WalkDirectory, CountsBlockBoundariesFromTheVolumeOffset) {
  // With the volume at 16, blocks start at file positions 16, 528, ...; an
  // entry at file position 380 leaves R = 148 and does not cross, the one at
  // 452 leaves R = 76 and does.
  ImageBuilder image(512, 16);
  image.header(8, 0);
  image.blockHeaderAt(16, 1);
  image.blockHeaderAt(528, -1);
  image.entryAt(36, named("first", 14));  // 128 bytes long
  for (std::int64_t position : {164, 236, 308, 380, 452}) {
    image.entryAt(position, named("at" + std::to_string(position)));
  }
  image.entryAt(524, named("decoy"));
  image.entryAt(548, named("second-block"));
  EXPECT_EQ(walk(image, 16, 16).names,
            (Names{"first", "at164", "at236", "at308", "at380", "at452", "second-block"}));
}

TEST(WalkDirectory, CrossesTwiceInAThreeBlockDirectoryAndNeverInItsLastBlock) {
  ImageBuilder image(512);
  image.header(16, 1);
  std::vector<EntrySpec> entries;
  for (int i = 0; i < 21; ++i) entries.push_back(named("e" + std::to_string(i)));
  const auto positions = image.directory(1, entries, 3);
  // Six entries fill a block; the last block takes the other nine: the
  // seventh of them straddles its end and the last two lie behind it.
  EXPECT_EQ(positions[6], 1024 + 20);
  EXPECT_EQ(positions[12], 1536 + 20);
  EXPECT_EQ(positions[20], 1536 + 20 + 8 * 72);
  Names expected;
  for (const auto& entry : entries) expected.push_back(entry.name);
  EXPECT_EQ(walk(image, 512).names, expected);
}

TEST(WalkDirectory, NeverCrossesWithBlockSize72OrLessOrInASingleBlockDirectory) {
  for (std::int32_t blockSize : {72, 64, 1, 0, -512, INT32_MIN}) {
    ImageBuilder image(512);
    image.header(blockSize, 8, 1);
    image.blockHeaderAt(512, 99);  // says more blocks follow
    std::vector<EntrySpec> entries;
    for (int i = 0; i < 9; ++i) entries.push_back(named("e" + std::to_string(i)));
    image.directory(1, entries, 1);
    image.blockHeaderAt(512, 99);
    EXPECT_EQ(walk(image, 512).names.size(), 9u) << blockSize;
  }
  ImageBuilder single(512);
  single.header(8, 1);
  std::vector<EntrySpec> entries;
  for (int i = 0; i < 9; ++i) entries.push_back(named("e" + std::to_string(i)));
  single.directory(1, entries, 1);  // the seventh entry straddles into block 2
  EXPECT_EQ(walk(single, 512).names.size(), 9u);
}

TEST(WalkDirectory, ReadsEveryFieldAndTerminatesNamesAndTypes) {
  ImageBuilder image(512);
  image.header(8, 1);
  image.directory(1, {
                         {"README", "TEXT", 777, 57, 2, 0x7FFFFFFF},
                         {std::string(32, 'N'), std::string("A\0BC", 4), -5, -1, 0, -1},
                         {std::string("ab\0cd", 5), "", 0, 0, 0, 1},
                         {"", "DIR", 1, 2},
                     });
  const Walked walked = walk(image, 512);
  ASSERT_EQ(walked.entries.size(), 4u);
  EXPECT_EQ(walked.entries[0].name, "README");
  EXPECT_EQ(walked.entries[0].type, "TEXT");
  EXPECT_EQ(walked.entries[0].byteCount, 777);
  EXPECT_EQ(walked.entries[0].startBlock, 57);
  EXPECT_EQ(walked.entries[0].lastCopyIndex, 2);
  EXPECT_EQ(walked.entries[1].name, std::string(31, 'N'));
  EXPECT_EQ(walked.entries[1].type, "A");
  EXPECT_EQ(walked.entries[1].byteCount, -5);
  EXPECT_EQ(walked.entries[1].startBlock, -1);
  EXPECT_EQ(walked.entries[2].name, "ab");
  EXPECT_EQ(walked.entries[2].type, "");
  EXPECT_EQ(walked.entries[3].name, "");
}

TEST(WalkDirectory, EndsAtTheFirstZeroFlagsWordOrWhenTheVisitorStops) {
  ImageBuilder image(512);
  image.header(8, 1);
  image.directory(1, {named("a"), named("b"), {"c", "FILE", 0, 0, 0, 0}, named("d")});
  EXPECT_EQ(walk(image, 512).names, (Names{"a", "b"}));
  image.poke32(512 + 20, 0);
  EXPECT_TRUE(walk(image, 512).names.empty());

  int visits = 0;
  image.directory(1, {named("a"), named("b")});
  const MemorySource again(image.bytes());
  walkDirectory(again, readVolumeGeometry(again, 0).value(), 512, [&](const DirectoryEntry&) {
    ++visits;
    return WalkStep::kStop;
  });
  EXPECT_EQ(visits, 1);
}

TEST(WalkDirectory, EndsQuietlyOnEveryTruncationOfAMultiBlockDirectory) {
  ImageBuilder image(512);
  image.header(16, 1);
  std::vector<EntrySpec> entries;
  Names all;
  for (int i = 0; i < 15; ++i) {
    entries.push_back(named("e" + std::to_string(i)));
    all.push_back(entries.back().name);
  }
  image.directory(1, entries, 3);
  for (std::size_t length = 104; length <= image.bytes().size(); ++length) {
    std::vector<unsigned char> prefix(image.bytes().begin(),
                                      image.bytes().begin() + static_cast<long>(length));
    const Names names = walk(prefix, 512).names;
    ASSERT_LE(names.size(), all.size());
    EXPECT_TRUE(std::equal(names.begin(), names.end(), all.begin())) << length;
  }
}

TEST(WalkDirectory, EndsWhenAnEntryWouldNotMoveTheWalkForward) {
  // k = -18 gives an entry length of 0, lower k a negative one; a huge k
  // wraps the length negative or points past the image. None may loop.
  for (std::int32_t k : {-18, -19, -1000, INT32_MIN, INT32_MAX, 0x3FFFFFEE, 0x10000000}) {
    for (std::int32_t nextBlock : {-1, 2}) {
      ImageBuilder image(512);
      image.header(8, 1);
      image.blockHeaderAt(512, nextBlock);
      image.entryAt(512 + 20, named("bad", k));
      image.entryAt(512 + 92, named("after"));
      const Names names = walk(image, 512).names;
      ASSERT_FALSE(names.empty());
      EXPECT_EQ(names.front(), "bad") << k;
      EXPECT_LE(names.size(), 3u) << k;
    }
  }
}

// A record is read while the position of its last field, its start block,
// is one a signed 32-bit number holds: at the top of that range, not a byte
// beyond. The source holds bytes there, as a file past 2 GiB would.
TEST(WalkDirectory, ReadsARecordUpToTheTopOfTheSigned32BitPositions) {
  constexpr std::int32_t kFirst = INT32_MAX - 68;
  class HighSource final : public ByteSource {
   public:
    [[nodiscard]] std::size_t readAt(std::int64_t position,
                                     std::span<unsigned char> out) const override {
      for (unsigned char& byte : out) byte = position++ % 72 == kFirst % 72 ? 1 : 'n';
      return out.size();
    }
  };
  const HighSource source;
  WindowedReader reader(source);
  const auto entry = recordAt(reader, VolumeGeometry{}, kFirst);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, std::string(31, 'n'));
  EXPECT_FALSE(recordAt(reader, VolumeGeometry{}, kFirst + 1));
}

TEST(WalkDirectory, VisitsNothingWhereTheDirectoryCannotBeRead) {
  ImageBuilder image(512);
  image.header(8, 1);
  image.directory(1, {named("a")});
  for (std::int32_t offset : {-1, -512, INT32_MIN, INT32_MAX, 4096}) {
    EXPECT_TRUE(walk(image, offset).names.empty()) << offset;
  }
}

// Records laid into blocks by the writer's layout, each directory's last
// block begun as such, are met by the walk exactly where they were placed,
// for block sizes around the walk's boundaries and copy lists of every length.
TEST(BlockLayout, PlacesEveryRecordWhereTheWalkReadsIt) {
  for (const std::int32_t blockSize : {96, 97, 144, 145, 216, 512, 2048}) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
      // Laid as if every block had another behind it: the block the records
      // end in is the last, and holds the end marker. Each record's last copy index k is drawn at
      // random among those that fit behind the records before it.
      std::vector<std::int32_t> copies;
      std::vector<std::int64_t> starts;
      BlockLayout layout(blockSize);
      layout.beginBlock(false);
      std::int32_t block = 0;
      for (std::uint32_t r = seed; copies.size() < 3 + seed * 2; r = r * 1103515245 + 12345) {
        const auto room = static_cast<std::uint32_t>((blockSize - layout.end() - 72) / 4 + 1);
        const auto k = static_cast<std::int32_t>((r >> 16) % room);
        ASSERT_TRUE(layout.fits(72 + 4 * k));
        ASSERT_FALSE(layout.fits(72 + 4 * static_cast<std::int32_t>(room)));
        copies.push_back(k);
        starts.push_back(std::int64_t{block} * blockSize + layout.place(72 + 4 * k));
        if (layout.full()) {
          ++block;
          layout.beginBlock(false);
        }
      }
      // The end marker follows the last record, or opens a block of its own.
      ImageBuilder image(blockSize);
      image.header(block + 3, 1);
      for (std::int32_t b = 0; b <= block; ++b) {
        image.blockHeaderAt(std::int64_t{1 + b} * blockSize, b == block ? -1 : 2 + b);
      }
      for (std::size_t i = 0; i < copies.size(); ++i) {
        image.entryAt(blockSize + starts[i], named("r" + std::to_string(i), copies[i]));
      }
      image.resize(std::int64_t{block + 3} * blockSize);
      std::vector<std::int64_t> met;
      for (const DirectoryEntry& entry : walk(image, blockSize).entries) {
        met.push_back(entry.recordPosition - blockSize);
      }
      EXPECT_EQ(met, starts) << blockSize << " " << seed;
    }
  }
}

// A directory's last block keeps 4 bytes for the end marker and is never
// full; a block begun after it is an ordinary one again.
TEST(BlockLayout, KeepsRoomForTheEndMarkerInTheLastBlockOnly) {
  BlockLayout layout(512);
  layout.beginBlock(false);
  EXPECT_TRUE(layout.fits(512 - 20));
  layout.beginBlock(true);
  EXPECT_TRUE(layout.fits(512 - 20 - 4));
  EXPECT_FALSE(layout.fits(512 - 20 - 3));
  layout.place(512 - 20 - 4);
  EXPECT_FALSE(layout.full());
  layout.beginBlock(false);
  EXPECT_TRUE(layout.fits(512 - 20));
}

TEST(FindEntry, MatchesTheFirstEntryOfThatExactName) {
  ImageBuilder image(512);
  image.header(8, 1);
  image.directory(1, {
                         {"dup", "FILE", 10, 3},
                         {"dup", "FILE", 20, 4},
                         {std::string(32, 'x'), "FILE", 30, 5},
                         {"zero", "FILE", 40, 0},
                         {"Case", "FILE", 50, 6},
                         {"zero", "FILE", 60, 7},  // not used: the first "zero" decides
                     });
  const MemorySource source(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  const auto find = [&](std::string_view name) { return findEntry(source, geometry, 512, name); };

  ASSERT_TRUE(find("dup"));
  EXPECT_EQ(find("dup")->startBlock, 3);
  EXPECT_EQ(find("dup")->byteCount, 10);
  ASSERT_TRUE(find(std::string(31, 'x')));
  EXPECT_EQ(find(std::string(31, 'x'))->startBlock, 5);
  EXPECT_FALSE(find(std::string(32, 'x')));
  EXPECT_FALSE(find("zero"));  // start block 0 reads as not found
  EXPECT_FALSE(find("case"));
  EXPECT_FALSE(find("Case "));
  EXPECT_FALSE(find("missing"));
  EXPECT_FALSE(find(""));
}

// An entry at block offset 20 has its copy list from offset 88 on: with
// k = 105 it ends exactly at the block's end, with k = 106 it runs past it.
TEST(ReadCopyBlocks, TakesAListThatEndsExactlyAtItsBlocksEnd) {
  for (const std::int32_t k : {105, 106}) {
    ImageBuilder image(512);
    image.header(8, 1);
    image.directory(1, {named("e", k)});
    image.poke32(1020, 99);  // the block's last field
    const MemorySource source(image.bytes());
    WindowedReader reader(source);
    const auto copies = readCopyBlocks(reader, readVolumeGeometry(source, 0).value(),
                                       walk(image, 512).entries.at(0));
    std::vector<std::int32_t> whole(106, 0);
    whole.front() = 7;
    whole.back() = 99;
    EXPECT_EQ(copies, k == 105 ? std::optional(whole) : std::nullopt) << k;
  }
}

}  // namespace
}  // namespace discshell
