// i, e and n: changes that wait in the session, and the one write that
// re-packs every directory they touch, in every copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "session_harness.h"
#include "volume/directory.h"
#include "volume/geometry.h"

namespace discshell::testing {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

constexpr int kBlock = 512;

// The byte position of `offset` in `block`.
std::size_t at(int block, int offset = 0) {
  return static_cast<std::size_t>(block) * kBlock + static_cast<std::size_t>(offset);
}

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

struct Walked {
  std::string name;
  std::int32_t byteCount;
  std::int32_t startBlock;
  std::int32_t position;  ///< from the directory's first block
  friend bool operator==(const Walked&, const Walked&) = default;
};
std::ostream& operator<<(std::ostream& out, const Walked& w) {
  return out << w.name << " " << w.byteCount << " @" << w.startBlock << " +" << w.position;
}

// What the tool's own walk reads at `offset`, which must end at its end marker.
std::vector<Walked> walk(const std::string& image, std::int64_t offset) {
  const MemorySource source(std::vector<unsigned char>(image.begin(), image.end()));
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  std::vector<Walked> entries;
  const WalkEnd end = walkDirectory(source, geometry, static_cast<std::int32_t>(offset),
                                    [&](const DirectoryEntry& e) {
                                      entries.push_back({e.name, e.byteCount, e.startBlock,
                                                         e.recordPosition -
                                                             static_cast<std::int32_t>(offset)});
                                      return WalkStep::kContinue;
                                    });
  EXPECT_EQ(end, WalkEnd::kEndMarker);
  return entries;
}

// Every copy walks to the same records, and holds the same bytes.
std::vector<Walked> walkCopies(const std::string& image, const std::vector<int>& blocks,
                               int length) {
  const std::vector<Walked> first = walk(image, std::int64_t{blocks[0]} * kBlock);
  for (const int block : blocks) {
    EXPECT_EQ(walk(image, std::int64_t{block} * kBlock), first) << "copy at block " << block;
    EXPECT_EQ(image.substr(at(block), static_cast<std::size_t>(length)),
              image.substr(at(blocks[0]), static_cast<std::size_t>(length)));
  }
  return first;
}

std::vector<std::string> names(const std::vector<Walked>& entries) {
  std::vector<std::string> result;
  for (const Walked& entry : entries) result.push_back(entry.name);
  return result;
}

// Every local file below `top`, by its path, but the images.
std::map<std::string, std::string> localTree(const std::string& top) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    const std::string path = std::filesystem::relative(entry.path(), top).generic_string();
    if (path.ends_with(".iso")) continue;
    files[path] = entry.is_directory() ? "/" : readFile(entry.path().string()).value();
  }
  return files;
}

// x of `image` in an empty directory gives exactly the local tree, and v
// finds nothing in it.
void expectRoundTrip(const ScratchDir& edited, const std::string& image) {
  ScratchDir again;
  writeFile(again / "copy.iso", readFile(edited / image).value());
  const RunResult x = runTool({"-c", "x", "copy.iso"}, "", again.path());
  EXPECT_EQ(x.status, 0) << x.errors;
  EXPECT_EQ(localTree(again.path()), localTree(edited.path()));
  const RunResult v = runTool({"-c", "v", "copy.iso"}, "", again.path());
  EXPECT_TRUE(v.output.ends_with(": 0 problems.\n")) << v.output;
}

TEST(TreeEdit, AddsErasesAndRenamesInOneWriteThatRoundTrips) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const std::string before = readFile(dir / "demo.iso").value();
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "docs/ch4.txt", "Chapter four.\n");
  std::filesystem::create_directories(dir / "fonts/empty");
  writeFile(dir / "fonts/big.FNT", std::string(1000, 'f'));
  std::filesystem::remove(dir / "hello.txt");
  std::filesystem::rename(dir / "README", dir / "read me.txt");
  std::filesystem::rename(dir / "logs/day08.log", dir / "logs/the eighth day.log");
  const RunResult run = runTool({"-c", "i docs/ch4.txt", "-c", "i fonts/", "-c", "e hello.txt",
                                 "-c", "n README 'read me.txt'", "-c", "c logs", "-c",
                                 "n day08.log \"the eighth day.log\"", "-c", "i", "-c", "w", "demo.iso"},
                                "", dir.path());
  const std::string lines =
      "docs/ch4.txt: added, 14 bytes\nfonts/: added, 1 file and 1 directory\n"
      "hello.txt: erased\nREADME: renamed to read me.txt\n"
      "logs/day08.log: renamed to the eighth day.log\n";
  EXPECT_EQ(run.output, "Entering logs:\n" + lines + lines + "New ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(readFile(dir / "demo.iso"), before);
  const std::string output = readFile(dir / "output.iso").value();
  // Behind the 64 blocks: the two files' data (1 and 2 blocks), then the two directories.
  ASSERT_EQ(output.size(), 69u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(69));
  EXPECT_EQ(walk(output, kBlock),
            (std::vector<Walked>{{"read me.txt", 56, 20, 20},
                                 {"docs", 512, 2, 92},
                                 {"logs", 1536, 4, 164},
                                 {"fonts", 512, 67, 236}}));
  EXPECT_EQ(names(walk(output, 2 * kBlock)), (std::vector<std::string>{"guide.txt", "archive", "ch4.txt"}));
  EXPECT_EQ(walk(output, 67 * kBlock),
            (std::vector<Walked>{{"big.FNT", 1000, 65, 20}, {"empty", 512, 68, 92}}));
  EXPECT_EQ(walk(output, 68 * kBlock), std::vector<Walked>{});
  // A new file's fields the walk does not read come from the nearest file
  // before it; the type, for want of a sibling of the same extension, too.
  EXPECT_EQ(output.substr(at(67, 20 + 8), 4), "TEXT");
  EXPECT_EQ(output.substr(at(67, 20 + 20), 4), be32(2));
  // The rename keeps the record where it was; the rest of logs stays.
  const std::vector<Walked> logs = walk(output, 4 * kBlock);
  ASSERT_EQ(logs.size(), 16u);
  EXPECT_EQ(logs[7], (Walked{"the eighth day.log", 18, 31, 512 + 20 + 72}));
  expectRoundTrip(dir, "output.iso");
}

// The root in two copies, full at six records, holds "full": a directory
// in three copies, full too, and a directory of three blocks.
ImageBuilder fullVolume() {
  ImageBuilder image(kBlock);
  image.header(40, 1);
  image.rootCopies({7});
  std::vector<EntrySpec> root = {{"full", "DIR", kBlock, 2, 2}, {"three", "DIR", 3 * kBlock, 8}};
  for (int i = 0; i < 4; ++i) root.push_back({"r" + std::to_string(i), "DATA", 1, 20 + i});
  for (const int block : {1, 7}) {
    image.furtherCopies(image.directory(block, root)[0], {3, 5});
  }
  std::vector<EntrySpec> full;
  for (int i = 0; i < 6; ++i) full.push_back({"f" + std::to_string(i), "DATA", 1, 24 + i});
  for (const int block : {2, 3, 5}) image.directory(block, full);
  std::vector<EntrySpec> three;
  for (int i = 0; i < 16; ++i) three.push_back({"t" + std::to_string(i), "DATA", 0, 30});
  image.directory(8, three, 3);
  image.resize(40 * kBlock);
  return image;
}

TEST(TreeEdit, MovesAFullDirectoryInEveryCopyAndUpdatesEveryRecordOfIt) {
  ScratchDir dir;
  fullVolume().save(dir / "image.iso");
  const std::string before = readFile(dir / "image.iso").value();
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "full/new", "N");
  RunResult run = runTool({"-c", "i full/new", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output, "full/new: added, 1 bytes\nNew ISO written to output.iso\n");
  std::string output = readFile(dir / "output.iso").value();
  // The data at 40, then one stretch of two blocks for each copy of full.
  ASSERT_EQ(output.size(), 47u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(47));
  for (const int block : {1, 7}) {
    EXPECT_EQ(output.substr(at(block, 20 + 16), 8), be32(2 * kBlock) + be32(2));
    EXPECT_EQ(output.substr(at(block, 20 + 68), 12), be32(41) + be32(43) + be32(45));
  }
  std::vector<Walked> full = walkCopies(output, {41, 43, 45}, 2 * kBlock);
  ASSERT_EQ(full.size(), 7u);
  EXPECT_EQ(full[5].position, 20 + 5 * 72);
  EXPECT_EQ(full[6], (Walked{"new", 1, 40, kBlock + 20}));
  EXPECT_EQ(output.substr(at(2), kBlock), before.substr(at(2), kBlock));  // old blocks stay
  EXPECT_EQ(output.substr(kBlock, 20), before.substr(kBlock, 20));

  // The root moves too, with full's new record in it; the header names its
  // new copies.
  writeFile(dir / "new", "M");
  run = runTool({"-c", "i full/new", "-c", "i new", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 52u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(52));
  EXPECT_EQ(output.substr(96, 12), be32(1) + be32(42) + be32(44));
  const std::vector<Walked> root = walkCopies(output, {42, 44}, 2 * kBlock);
  EXPECT_EQ(names(root), (std::vector<std::string>{"full", "three", "r0", "r1", "r2", "r3", "new"}));
  EXPECT_EQ(root[0], (Walked{"full", 2 * kBlock, 46, 20}));
  EXPECT_EQ(output.substr(at(42, 20 + 68), 12), be32(46) + be32(48) + be32(50));
  EXPECT_EQ(walkCopies(output, {46, 48, 50}, 2 * kBlock).size(), 7u);
  EXPECT_EQ(readFile(dir / "image.iso"), before);
  expectRoundTrip(dir, "output.iso");
}

TEST(TreeEdit, ErasesTheFirstAMiddleAndTheLastRecordOfABlock) {
  ScratchDir dir;
  fullVolume().save(dir / "image.iso");
  // Blocks of six records, then four: t0 is a block's first, t8 a middle
  // one, t11 the last of the second block.
  const RunResult run =
      runTool({"-c", "e three/t0", "-c", "c three", "-c", "e t8", "-c", "e /three/t11", "-c", "w", "image.iso"},
              "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.size(), 40u * kBlock);  // in its own blocks
  const std::vector<Walked> three = walk(output, 8 * kBlock);
  std::vector<std::string> expected;
  for (const int i : {1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15}) {
    expected.push_back("t" + std::to_string(i));
  }
  EXPECT_EQ(names(three), expected);
  for (std::size_t i = 0; i < three.size(); ++i) {
    EXPECT_EQ(three[i].position, static_cast<int>(i / 6) * kBlock + 20 + 72 * static_cast<int>(i % 6));
  }
  // The third block holds one record and then nothing but zeros.
  EXPECT_EQ(output.substr(at(10, 92), kBlock - 92), std::string(kBlock - 92, '\0'));
  EXPECT_EQ(output.substr(at(10), 4), be32(0xFFFFFFFF));
}

}  // namespace
}  // namespace discshell::testing
