// Which entries are directories, and the tree walk over loops and depth.
#include "volume/tree.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tools/image_builder.h"

namespace discshell {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

// Only structure keeps data from being a directory: an entry's bad values
// (a negative byte count, a start block far outside the image) do not. The
// tree walk, which remembers walks by their start, says the same of each.
TEST(IsDirectory, TakesDataThatWalksAsADirectoryAndNothingElse) {
  ImageBuilder image(512);
  image.header(32, 1);
  image.directory(2, {{"a", "TEXT", 5, 20}, {"b", "DIR", 512, 3}});
  image.directory(3, {});                          // empty, says it is the last block
  image.blockHeaderAt(image.blockPosition(4), 5);  // empty, says more follow
  image.directory(6, std::vector<EntrySpec>(7, {"x", "T", 1, 9}), 2);  // two blocks
  image.data(10, "Hello, world!\n");
  image.directory(11, {{"n", "T", 1, 9}, {"", "T", 1, 9}});  // an entry without a name
  image.directory(12, {{"n", "T", -1, 9}, {"far", "T", 1, 99999}});
  image.directory(13, {{"n", "T", 1, 9}});
  image.poke32(image.blockPosition(13) + 20 + 64, -18);  // walk cannot advance
  // Its end marker is the block's last 4 bytes, then one entry longer.
  image.directory(14, {{"k14", "T", 1, 9, 14}, {"a"}, {"b"}, {"c"}, {"d"}, {"e"}});
  image.directory(16, {{"k15", "T", 1, 9, 15}, {"a"}, {"b"}, {"c"}, {"d"}, {"e"}});
  image.directory(31, {{"n", "T", 1, 9}});
  using enum DirectoryFault;
  const std::vector<std::tuple<EntrySpec, DirectoryFault, std::uint32_t>> cases = {
      {{"dir", "FILE", 512, 2}, kNone, 2},          {{"empty", "", 512, 3}, kNone, 0},
      {{"open", "DIR", 512, 4}, kNoEntries, 0},     {{"two", "DIR", 1024, 6}, kNone, 7},
      {{"half", "DIR", 512, 6}, kNoEndMarker, 6},   {{"text", "DIR", 512, 10}, kNoEntries, 0},
      {{"odd", "DIR", 500, 2}, kNotAStretch, 0},    {{"zero", "DIR", 0, 2}, kNotAStretch, 0},
      {{"block0", "DIR", 512, 0}, kNotAStretch, 0}, {{"noname", "DIR", 512, 11}, kNamelessEntry, 1},
      {{"values", "DIR", 512, 12}, kNone, 2},       {{"stuck", "DIR", 512, 13}, kNoProgress, 1},
      {{"cut", "DIR", 512, 31}, kNoEndMarker, 1},   {{"below", "DIR", 512, -1}, kNoEndMarker, 0},
      {{"full", "DIR", 512, 14}, kNone, 6},         {{"over", "DIR", 512, 16}, kNoEndMarker, 6},
      {{"over2", "DIR", 1024, 16}, kNone, 6},
  };
  std::vector<EntrySpec> all;
  for (const auto& [given, fault, entries] : cases) all.push_back(given);
  image.directory(20, all, 3);
  image.resize(31 * 512 + 94);  // its end marker is cut off
  const MemorySource source(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  WindowedReader reader(source);
  struct Verdicts final : TreeVisitor {
    bool visit(const DirectoryEntry&, bool directory, const std::string&) override {
      directories.push_back(directory);
      return false;
    }
    void revisit(const DirectoryEntry&, const std::string&) override {}
    std::vector<bool> directories;
  } walked;
  walkTree(source, geometry, blockToOffset(geometry, 20), walked);
  ASSERT_EQ(walked.directories.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [given, fault, entries] = cases[i];
    DirectoryEntry entry;
    entry.name = given.name;
    entry.byteCount = given.byteCount;
    entry.startBlock = given.startBlock;
    const DirectoryReading reading = readAsDirectory(reader, geometry, entry);
    EXPECT_EQ(reading.fault, fault) << given.name;
    EXPECT_EQ(reading.entries, entries) << given.name;
    EXPECT_EQ(isDirectory(reader, geometry, entry), fault == kNone) << given.name;
    EXPECT_EQ(walked.directories[i], fault == kNone) << given.name;
  }
}

class Recorder final : public TreeVisitor {
 public:
  bool visit(const DirectoryEntry&, bool directory, const std::string& path) override {
    lines.push_back(path + (directory ? "/" : ""));
    return true;
  }
  void revisit(const DirectoryEntry&, const std::string& path) override {
    lines.push_back("again " + path);
  }
  std::vector<std::string> lines;
};

TEST(WalkTree, EntersEachDirectoryOnceWhateverLeadsBackToIt) {
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"loop", "DIR", 512, 2}, {"twice", "DIR", 512, 3}, {"f", "T", 0, 9}});
  image.directory(2, {{"self", "DIR", 512, 2}, {"up", "DIR", 512, 1}, {"shared", "DIR", 512, 3}});
  image.directory(3, {{"g", "T", 0, 9}});
  const MemorySource source(image.bytes());
  Recorder recorder;
  walkTree(source, readVolumeGeometry(source, 0).value(), 512, recorder, "top/");
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{"top/loop/", "again top/loop/self", "again top/loop/up",
                                      "top/loop/shared/", "top/loop/shared/g", "again top/twice",
                                      "top/f"}));
}

// Counts the bytes a walk asks for, to bound its work without timing it.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::vector<unsigned char> bytes) : image_(std::move(bytes)) {}
  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override {
    bytesRead += out.size();
    return image_.readAt(position, out);
  }
  mutable std::size_t bytesRead = 0;

 private:
  MemorySource image_;
};

// A root of 2,000 entries in 334 blocks that all lead back to it, the
// first with 1 block, each next one with a block more, then two small ones:
// only those of 334 blocks or more hold the root's walk.
TEST(WalkTree, TellsEveryByteCountAtOneStartApartWithOneWalk) {
  constexpr int kEntries = 2000;
  constexpr int kRootBlocks = 334;
  ImageBuilder image(512);
  image.header(kRootBlocks + 1, 1);
  std::vector<EntrySpec> entries;
  for (int i = 0; i < kEntries; ++i)
    entries.push_back({"e" + std::to_string(i), "D", (i + 1) * 512, 1});
  entries.push_back({"block", "D", 512, 1});
  entries.push_back({"bytes", "D", 100, 1});
  image.directory(1, entries, kRootBlocks);
  const CountingSource source(image.bytes());
  Recorder recorder;
  walkTree(source, readVolumeGeometry(source, 0).value(), 512, recorder);
  ASSERT_EQ(recorder.lines.size(), entries.size());
  EXPECT_EQ(recorder.lines[kRootBlocks - 2], "e332");
  EXPECT_EQ(recorder.lines[kRootBlocks - 1], "again e333");
  EXPECT_EQ(recorder.lines[kEntries - 1], "again e1999");
  EXPECT_EQ(recorder.lines[kEntries], "block");
  EXPECT_EQ(recorder.lines[kEntries + 1], "bytes");
  // The tree walk and the one walk that decides: each reads the root about once.
  EXPECT_LT(source.bytesRead, 3 * image.bytes().size());
}

// 100,000 nested directories, each the only entry of the one above.
TEST(WalkTree, GoesDownAChainDeeperThanAnyCallStackCouldRecurse) {
  constexpr int kDepth = 100000;
  ImageBuilder image(128);
  image.header(kDepth + 2, 1);
  for (int level = 1; level <= kDepth; ++level) {
    image.directory(level, {{"d", "DIR", 128, level + 1}});
  }
  image.directory(kDepth + 1, {});
  const MemorySource source(image.bytes());
  struct Deepest final : TreeVisitor {
    bool visit(const DirectoryEntry&, bool directory, const std::string& path) override {
      deepest = directory ? path.size() : 0;
      return true;
    }
    void revisit(const DirectoryEntry&, const std::string&) override {}
    std::size_t deepest = 0;
  } visitor;
  walkTree(source, readVolumeGeometry(source, 0).value(), 128, visitor);
  EXPECT_EQ(visitor.deepest, 2u * kDepth - 1);
}

}  // namespace
}  // namespace discshell
