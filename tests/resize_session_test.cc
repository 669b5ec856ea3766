// r: every changed entry becomes exactly its local file, in place or moved.
#include <gtest/gtest.h>

#include <filesystem>

#include "bytes/progress.h"
#include "edit/patch_plan.h"
#include "edit/resize_plan.h"
#include "edit/update_plan.h"
#include "local/local_tree.h"
#include "patched_output.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

constexpr int kBlock = 512;

std::string field(const std::string& image, std::int64_t position) {
  return image.substr(static_cast<std::size_t>(position), 4);
}
std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

TEST(Resize, RoundTripsTheDemoDiscLongerShorterAndEmptied) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "hello.txt", std::string(60, 'h'));                // 14 -> 60, still one block
  writeFile(dir / "README", "Short.\n");                             // shorter
  writeFile(dir / "docs/guide.txt", "");                             // emptied
  writeFile(dir / "logs/day16.log", std::string(1000, 'L') + "\n");  // past its block
  const RunResult run = runTool({"-c", "r", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "README: 7 bytes into 1 copy\nhello.txt: 60 bytes into 1 copy\n"
            "docs/guide.txt: 0 bytes into 1 copy\nlogs/day16.log: 1001 bytes, moved to block 64\n"
            "New ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0);
  const std::string output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 66u * kBlock);  // two new blocks behind the 64 of the volume
  EXPECT_EQ(field(output, 80), be32(66));
  EXPECT_EQ(output.substr(66 * kBlock - 23), std::string(23, '\0'));
  expectExtractsAs(dir / "output.iso", dir,
                   {"README", "hello.txt", "docs/guide.txt", "logs/day16.log", "logs/day15.log",
                    "docs/archive/old-notes.txt"});
  expectChecksLikeInput(dir, "demo.iso");
  std::filesystem::rename(dir / "output.iso", dir / "patched.iso");
  EXPECT_EQ(runTool({"-c", "r", "patched.iso"}, "", dir.path()).output,
            "demo.iso: no entry in the image; not added.\n"
            "Nothing to replace: every local file matches the image.\n");
  // Nor is the image, or --patch's file, a local file through a link to it
  // (where links can be made).
  writeFile(dir / "fix.vcdiff", "earlier");
  if (makeSymbolicLink("patched.iso", dir / "link.iso") &&
      makeSymbolicLink("../fix.vcdiff", dir / "docs/fix.link")) {
    EXPECT_EQ(runTool({"--patch", "fix.vcdiff", "-c", "r", "link.iso"}, "", dir.path()).output,
              "demo.iso: no entry in the image; not added.\n"
              "Nothing to replace: every local file matches the image.\n");
  }
}

// The root in two copies, a file in three, two pairs of entries sharing
// data, and a directory of two blocks in which nb's data reaches into after's.
ImageBuilder copiesVolume() {
  ImageBuilder image(kBlock);
  image.header(48, 1);
  image.poke32(96, 1);
  image.poke32(104, 7);
  const std::vector<EntrySpec> root = {{"three", "DATA", 10, 20, 2}, {"s1", "DATA", 6, 23},
                                       {"s2", "DATA", 6, 23},        {"a1", "DATA", 5, 24},
                                       {"a2", "DATA", 5, 24},        {"multi", "DIR", 1024, 2}};
  for (const int block : {1, 7}) {
    const auto records = image.directory(block, root);
    image.poke32(records[0] + 72, 21);
    image.poke32(records[0] + 76, 22);
  }
  for (const int block : {20, 21, 22}) image.data(block, "0123456789");
  image.data(23, "shared");
  image.data(24, "alike");
  std::vector<EntrySpec> files;
  for (int i = 0; i < 8; ++i) {
    files.push_back({"f" + std::to_string(i), "DATA", 4, 30 + i});
    image.data(30 + i, "f" + std::to_string(i) + "!\n");
  }
  files.push_back({"nb", "DATA", 600, 38});
  files.push_back({"after", "DATA", 4, 39});
  image.directory(2, files, 2);
  image.resize(48 * kBlock);
  return image;
}

TEST(Resize, RoundTripsCopiesSharedDataAndAMultiBlockDirectory) {
  ScratchDir dir;
  copiesVolume().save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "three", std::string(600, '3'));
  writeFile(dir / "s1", "S1");  // s2 keeps its bytes, so s1 moves though it fits
  writeFile(dir / "a1", "AA");  // a1 and a2 change alike: in place, written once
  writeFile(dir / "a2", "AA");
  writeFile(dir / "multi/f0", "");
  writeFile(dir / "multi/f7", "longer text");
  writeFile(dir / "multi/nb", std::string(700, 'n'));  // fits, but would change after
  const RunResult run = runTool({"-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "three: 600 bytes, moved to blocks 48, 50 and 52\ns1: 2 bytes, moved to block 54\n"
            "a1: 2 bytes into 1 copy\na2: 2 bytes into 1 copy\nmulti/f0: 0 bytes into 1 copy\n"
            "multi/f7: 11 bytes into 1 copy\nmulti/nb: 700 bytes, moved to block 55\n"
            "New ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 57u * kBlock);
  EXPECT_EQ(field(output, 80), be32(57));
  EXPECT_EQ(output.substr(kBlock, kBlock), output.substr(7 * kBlock, kBlock));  // both root copies
  const std::int64_t three = kBlock + 20;
  EXPECT_EQ(output.substr(three + 16, 8), be32(600) + be32(2));
  // Three copies stay three: each its own new stretch, each holding the file.
  EXPECT_EQ(output.substr(three + 68, 12), be32(48) + be32(50) + be32(52));
  for (const int block : {48, 50, 52}) {
    EXPECT_EQ(output.substr(std::size_t{kBlock} * static_cast<std::size_t>(block), 600),
              std::string(600, '3'))
        << block;
  }
  EXPECT_EQ(output.substr(21 * kBlock, 10), "0123456789");  // the old data stays
  EXPECT_EQ(output.substr(23 * kBlock, 6), "shared");
  EXPECT_EQ(output.substr(24 * kBlock, 5), "AAike");
  expectExtractsAs(dir / "output.iso", dir,
                   {"three", "s1", "s2", "a1", "a2", "multi/f0", "multi/f1", "multi/f7", "multi/nb",
                    "multi/after"});
  expectChecksLikeInput(dir, "image.iso");
  std::filesystem::rename(dir / "output.iso", dir / "patched.iso");
  EXPECT_EQ(runTool({"-c", "r", "patched.iso"}, "", dir.path()).output,
            "image.iso: no entry in the image; not added.\n"
            "Nothing to replace: every local file matches the image.\n");
}

TEST(Resize, RefusesWhatItCannotWriteAndSaysWhetherAnOutputWasThere) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(40, 1);
  image.poke32(96, 2);
  image.poke32(104, 6);
  image.poke32(108, 1000);  // the root's copy 2 lies outside the image
  const std::vector<EntrySpec> root = {{"differs", "DATA", 4, 20},
                                       {"ondir", "DATA", 4, 21, 1},
                                       {"zero", "DATA", 4, 0},
                                       {"sub", "DIR", 512, 2}};
  for (const int block : {1, 6}) image.poke32(image.directory(block, root)[1] + 72, 2);
  image.poke(6 * kBlock + 20 + 32, "DIFFERS");
  image.directory(2, {{"deep", "DATA", 4, 22}});
  image.resize(40 * kBlock);
  image.save(dir / "image.iso");
  EXPECT_EQ(runTool({"-c", "r", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 1",
                        "No local files of this tree here: run x first, or change to "
                        "where x wrote them.\n"));
  for (const char* name : {"differs", "ondir", "zero"}) writeFile(dir / name, "new");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "sub"));
  RunResult run = runTool({"-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 1",
                                    "zero: File not found.\n"
                                    "ondir: copy 1 overlaps the directory /sub.\n"
                                    "differs: copy 1 of its directory differs.\n"
                                    "differs: copy 2 of its directory lies outside the image.\n"
                                    "ondir: copy 2 of its directory lies outside the image.\n"
                                    "Nothing written.\n"));
  EXPECT_EQ(run.status, 2);
  EXPECT_FALSE(exists(dir / "output.iso"));
  writeFile(dir / "output.iso", "earlier");
  EXPECT_EQ(runTool({"-c", "r differs", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 1",
                        "differs: copy 1 of its directory differs.\n"
                        "differs: copy 2 of its directory lies outside the image.\n"
                        "Nothing written; output.iso is as it was.\n"));
  EXPECT_EQ(readFile(dir / "output.iso"), "earlier");

  // Data moved behind an image of almost 2 GiB would take the output past
  // it: two copies take two stretches of two blocks, where one would fit.
  ImageBuilder big(kBlock);
  big.header(8, 1);
  big.furtherCopies(big.directory(1, {{"grows", "DATA", 4, 2, 1}})[0], {3});
  big.save(dir / "big.iso");
  std::filesystem::resize_file(dir / "big.iso", (std::uintmax_t{1} << 31) - 3 * kBlock);
  writeFile(dir / "grows", std::string(kBlock + 1, 'g'));
  EXPECT_EQ(
      runTool({"-c", "r grows", "big.iso"}, "", dir.path()).errors,
      batchErrors("-c 1",
                  "output.iso: would reach 2 GiB.\nNothing written; output.iso is as it was.\n"));
}

// In place up to the last byte of an entry's blocks and of the image; an
// empty entry that starts in a file's block takes nothing from it, nor does
// a file cut to nothing there.
TEST(Resize, WritesInPlaceUpToTheLastByteOfItsBlocksAndOfTheImage) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(24, 1);
  image.data(20, "whole");
  image.data(21, std::string(2 * kBlock, 'o'));
  image.data(23, "last");
  image.directory(1, {{"whole", "DATA", 5, 20},
                      {"empty", "DATA", 0, 20},
                      {"outer", "DATA", 2 * kBlock, 21},
                      {"cut", "DATA", 4, 22},
                      {"last", "DATA", 4, 23}});
  image.resize(23 * kBlock + 300);  // the image ends inside the volume's last block
  image.save(dir / "image.iso");
  writeFile(dir / "whole", std::string(kBlock, 'W'));
  writeFile(dir / "cut", "");
  writeFile(dir / "outer", std::string(2 * kBlock, 'o'));
  writeFile(dir / "last", std::string(300, 'L'));
  const RunResult run = runTool({"-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "whole: 512 bytes into 1 copy\ncut: 0 bytes into 1 copy\nlast: 300 bytes into 1 copy\n"
            "New ISO written to output.iso\n");
  EXPECT_EQ(run.errors, "");
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.size(), 23u * kBlock + 300);
  // Each record's count of whole blocks: one for 512 bytes, none for 0.
  const auto blocksOf = [&](std::size_t record) {
    return output.substr(kBlock + 20 + 72 * record + 20, 4);
  };
  EXPECT_EQ(blocksOf(0), be32(1));
  EXPECT_EQ(blocksOf(3), be32(0));
  EXPECT_EQ(blocksOf(4), be32(1));
  expectChecksLikeInput(dir, "image.iso");
  expectExtractsAs(dir / "output.iso", dir, {"whole", "cut", "outer", "last"});
}

// Entries that share data keep their own bytes when one local file begins
// with the other's; copies that overlap each other move; and each distinct
// block among an entry's copies gets a stretch of its own, equal ones one.
TEST(Resize, KeepsEveryEntrysOwnBytesWhereDataIsSharedOrCopiesOverlap) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(48, 1);
  image.data(20, "shared");
  image.data(21, "shared");
  image.data(30, std::string(1024, 'o'));
  image.data(40, "equal");
  image.data(41, "equal");
  const auto root = image.directory(1, {{"s1", "DATA", 6, 20},
                                        {"s2", "DATA", 6, 20},
                                        {"t1", "DATA", 6, 21},
                                        {"t2", "DATA", 6, 21},
                                        {"ov", "DATA", 1024, 30, 1},
                                        {"eq", "DATA", 5, 40, 2}});
  image.furtherCopies(root[4], {31});
  image.furtherCopies(root[5], {40, 41});
  image.resize(48 * kBlock);
  image.save(dir / "image.iso");
  writeFile(dir / "s1", "ABCDEFGH");  // the earlier is longer
  writeFile(dir / "s2", "ABCD");
  writeFile(dir / "t1", "ABCD");  // the later is longer
  writeFile(dir / "t2", "ABCDEFGH");
  std::string ov(1000, '\0');
  for (std::size_t i = 0; i < ov.size(); ++i) ov[i] = static_cast<char>('a' + i % 26);
  writeFile(dir / "ov", ov);
  writeFile(dir / "eq", std::string(600, 'e'));
  const RunResult run = runTool({"-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "s1: 8 bytes, moved to block 48\ns2: 4 bytes, moved to block 49\n"
            "t1: 4 bytes, moved to block 50\nt2: 8 bytes, moved to block 51\n"
            "ov: 1000 bytes, moved to blocks 52 and 54\neq: 600 bytes, moved to blocks 56 and 58\n"
            "New ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(field(output, 80), be32(60));
  EXPECT_EQ(output.substr(static_cast<std::size_t>(root[5]) + 68, 12),
            be32(56) + be32(56) + be32(58));
  expectChecksLikeInput(dir, "image.iso");
  expectExtractsAs(dir / "output.iso", dir, {"s1", "s2", "t1", "t2", "ov", "eq"});
}

// Moved data goes behind the stray bytes after the volume's last whole
// block, and behind the volume's end where a cut-off image ends before it;
// its records count blocks from the volume offset.
TEST(Resize, MovesDataBehindEverythingTheImageOrTheVolumeHolds) {
  ScratchDir dir;
  ImageBuilder stray(kBlock);
  stray.header(24, 1);
  stray.directory(1, {{"m", "DATA", 4, 20}});
  stray.data(20, "move");
  stray.resize(24 * kBlock);
  stray.poke(24 * kBlock, std::string(100, 'S'));
  stray.save(dir / "stray.iso");
  writeFile(dir / "m", std::string(600, 'M'));
  EXPECT_EQ(runTool({"-c", "r", "stray.iso"}, "", dir.path()).output,
            "m: 600 bytes, moved to block 25\nNew ISO written to output.iso\n");
  std::string output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 27u * kBlock);
  EXPECT_EQ(output.substr(24 * kBlock, kBlock),
            std::string(100, 'S') + std::string(kBlock - 100, '\0'));
  expectChecksLikeInput(dir, "stray.iso");
  expectExtractsAs(dir / "output.iso", dir, {"m"});

  constexpr int kOffset = 1000;  // not a multiple of the block size
  ImageBuilder cut(kBlock, kOffset);
  cut.header(40, 1);
  cut.directory(1, {{"m", "DATA", 4, 20}});
  cut.data(20, "move");
  cut.resize(kOffset + 30 * kBlock);  // the volume claims 40 blocks
  cut.save(dir / "cut.iso");
  EXPECT_EQ(runTool({"-c", "r", "cut.iso", "1000"}, "", dir.path()).output,
            "stray.iso: no entry in the image; not added.\nm: 600 bytes, moved to block 40\n"
            "New ISO written to output.iso\n");
  output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), std::size_t{kOffset} + 42 * kBlock);
  EXPECT_EQ(field(output, kOffset + 80), be32(42));
  expectChecksLikeInput(dir, "cut.iso", "output.iso", "1000");
  expectExtractsAs(dir / "output.iso", dir, {"m"}, "1000");
}

// A directory reached through two entries is one directory with the copies
// of both; a directory's copy on another directory's block is not a copy
// of that one.
TEST(Resize, WritesARecordIntoEveryCopyOfItsDirectoryAndNowhereElse) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(40, 1);
  const auto root = image.directory(1, {{"D", "DIR", 512, 2, 1},
                                        {"D2", "DIR", 512, 2, 1},
                                        {"A", "DIR", 512, 10, 1},
                                        {"B", "DIR", 512, 12}});
  image.furtherCopies(root[0], {3});
  image.furtherCopies(root[1], {4});
  image.furtherCopies(root[2], {12});  // B's block, which B, later in the walk, leads to
  for (const int block : {2, 3, 4}) image.directory(block, {{"f", "DATA", 4, 20}});
  image.directory(10, {{"a", "DATA", 4, 21}});
  image.directory(12, {{"b", "DATA", 4, 22}});
  image.data(20, "ffff");
  image.data(21, "aaaa");
  image.data(22, "bbbb");
  image.resize(40 * kBlock);
  image.save(dir / "image.iso");
  ASSERT_TRUE(std::filesystem::create_directories(dir / "D"));
  ASSERT_TRUE(std::filesystem::create_directories(dir / "B"));
  writeFile(dir / "D/f", "new f");
  writeFile(dir / "B/b", "new b");
  EXPECT_EQ(runTool({"-c", "r", "image.iso"}, "", dir.path()).output,
            "D2/: directory already visited, not entered again\n"
            "D/f: 5 bytes into 1 copy\nB/b: 5 bytes into 1 copy\nNew ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  for (const int block : {3, 4}) {
    EXPECT_EQ(output.substr(std::size_t{kBlock} * static_cast<std::size_t>(block), kBlock),
              output.substr(2 * kBlock, kBlock))
        << block;
  }
  EXPECT_EQ(output.substr(2 * kBlock + 20 + 16, 4), be32(5));
  EXPECT_EQ(output.substr(10 * kBlock, kBlock),
            std::string(image.bytes().begin() + 10 * kBlock, image.bytes().begin() + 11 * kBlock));
  expectChecksLikeInput(dir, "image.iso");
  expectExtractsAs(dir / "output.iso", dir, {"D/f", "B/b"});
}

// A record goes nowhere but into a directory: not over the header, not
// into another entry's data (a file that is also a directory's first
// bytes, or data that c entered), not into a copy that differs; and no
// data goes over the root's last, partly used block.
TEST(Resize, RefusesRecordsOverTheHeaderOrOtherDataAndDataOverTheRoot) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(40, 1);
  image.rootCopies({0});
  const auto root = image.directory(1,
                                    {{"onroot", "DATA", 4, 2},  // the root's second block
                                     {"F", "DATA", 100, 5},     // D's first bytes
                                     {"D", "DIR", 512, 5, 1},
                                     {"F2", "DATA", 500, 7},  // reads as a directory
                                     {"sub", "DIR", 512, 3, 1},
                                     {"E", "DIR", 512, 8, 1},
                                     {"E2", "DIR", 512, 8, 1},
                                     {"f1", "DATA", 4, 20},
                                     {"F3", "DATA", 100, 10}},  // D's second copy's
                                    2);
  image.furtherCopies(root[2], {10});
  image.furtherCopies(root[4], {0});
  image.furtherCopies(root[5], {9});
  image.furtherCopies(root[6], {11});
  image.directory(3, {{"g", "DATA", 4, 21}});
  for (const int block : {5, 10}) image.directory(block, {{"f", "DATA", 4, 22}});
  image.directory(7, {{"g", "DATA", 4, 23}});
  for (const int block : {8, 9, 11}) image.directory(block, {{"h", "DATA", 4, 24}});
  image.poke(11 * kBlock + 20 + 16, be32(5));  // E2's copy differs at h's byte count
  image.resize(40 * kBlock);
  image.save(dir / "image.iso");
  for (const char* path : {"D", "sub", "E"})
    ASSERT_TRUE(std::filesystem::create_directory(dir / path));
  for (const char* path : {"onroot", "D/f", "sub/g", "E/h", "g"}) writeFile(dir / path, "new");
  writeFile(dir / "output.iso", "earlier");
  const RunResult run = runTool({"-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 1",
                                    "onroot: copy 0 overlaps the directory /.\n"
                                    "onroot: copy 1 of / overlaps the volume header.\n"
                                    "sub/g: copy 1 of /sub overlaps the volume header.\n"
                                    "E/h: copy 2 of its directory differs.\n"
                                    "D/f: its directory is also the data of F.\n"
                                    "Nothing written; output.iso is as it was.\n"));
  EXPECT_EQ(run.status, 2);
  // The data that c entered, named as every path of r is, from where the
  // shell stands or from the path given.
  const RunResult entered = runTool({"-c", "c F2", "-c", "r", "image.iso"}, "", dir.path());
  EXPECT_EQ(entered.errors, batchErrors("-c 2",
                                        "g: its directory is also the data of F2.\n"
                                        "Nothing written; output.iso is as it was.\n"));
  EXPECT_EQ(entered.status, 2);
  const RunResult named = runTool({"-c", "r F2/g", "image.iso"}, "", dir.path());
  EXPECT_EQ(named.errors, batchErrors("-c 1",
                                      "g: its directory is also the data of F2.\n"
                                      "Nothing written; output.iso is as it was.\n"));
  EXPECT_EQ(readFile(dir / "output.iso"), "earlier");
}

// Appends to a local file once more than `after` bytes have been copied
// or compared: an edit in the middle of a command's work.
class EditWhileRunning final : public ProgressObserver {
 public:
  EditWhileRunning(std::string path, std::int64_t after) : path_(std::move(path)), after_(after) {}
  void bytesDone(std::int64_t bytes) override {
    done_ += bytes;
    if (done_ <= after_ || edited_) return;
    edited_ = true;
    writeFile(path_, readFile(path_).value() + "!");
  }

 private:
  std::string path_;
  std::int64_t after_;
  std::int64_t done_ = 0;
  bool edited_ = false;
};

// The demo disc and x's extraction of it beside it, for u's and r's plans
// of the whole tree.
struct ExtractedDemo {
  static bool extract(const ScratchDir& dir) {
    tools::demoImage().save(dir / "demo.iso");
    return runTool({"-c", "x", "demo.iso"}, "", dir.path()).status == 0;
  }
  template <typename Planner>
  PatchPlan plan(Planner planner, const std::string& output) const {
    const PatchTarget target{std::nullopt, geometry.rootDirectoryOffset, "", std::nullopt, {}};
    return planner(image, geometry, top, target, output);
  }
  ScratchDir dir;
  bool extracted = extract(dir);  // before the image is opened
  ImageFile image = ImageFile::open(dir / "demo.iso").value();
  VolumeGeometry geometry = readVolumeGeometry(image, 0).value();
  platform::Directory top = platform::Directory::open(dir.path()).value();
};

// A local file that changes after the plan compared it, while it is
// compared, or while its bytes are copied: nothing is written.
TEST(Resize, WritesNothingWhenALocalFileChangesAfterItWasCompared) {
  const ExtractedDemo demo;
  ASSERT_TRUE(demo.extracted);
  const ScratchDir& dir = demo.dir;
  const std::string output = dir / "output.iso";
  const std::string readme = readFile(dir / "README").value();
  for (const auto planner : {planUpdate, planResize}) {
    {
      EditWhileRunning edit(dir / "README", 0);  // the first file compared
      const ProgressScope scope(&edit);
      const PatchPlan plan = demo.plan(planner, output);
      ASSERT_EQ(plan.problems.size(), 1u);
      EXPECT_EQ(plan.problems[0].subject + ": " + plan.problems[0].message,
                "README: local file changed while it was read.\n");
    }
    writeFile(dir / "README", readme);
    // Edited while the image is copied, before the file is; and while it is.
    for (const std::int64_t after : {std::int64_t{-1}, *demo.image.length()}) {
      writeFile(dir / "hello.txt", "Hi!\n");
      const PatchPlan plan = demo.plan(planner, output);
      ASSERT_EQ(plan.lines.size(), 1u);
      EditWhileRunning edit(dir / "hello.txt", after);
      const ProgressScope scope(&edit);
      const WriteResult result =
          writeChangedImage(demo.image, filesBelow(demo.top), plan.changes, output);
      EXPECT_EQ(result.outcome, WriteOutcome::kLocalFileChanged);
      EXPECT_EQ(result.path, "hello.txt");
      EXPECT_FALSE(exists(output));
    }
  }
}

// A listing that fails part-way is a folder that cannot be read, never
// one that ends there.
TEST(Resize, ReportsALocalFolderWhoseListingFailsPartWay) {
  const ExtractedDemo demo;
  ASSERT_TRUE(demo.extracted);
  for (const auto planner : {planUpdate, planResize}) {
    platform::Directory::failListingsAfter(2);
    const PatchPlan plan = demo.plan(planner, demo.dir / "output.iso");
    platform::Directory::failListingsAfter(std::nullopt);
    std::string problems;
    for (const PatchProblem& problem : plan.problems) {
      problems += problem.subject + ": " + problem.message;
    }
    EXPECT_EQ(problems, ".: local directory cannot be read.\n");
  }
}

// One entry with 100,000 copies, all of one block: u and r write it once.
TEST(Resize, AnEntryWithAHundredThousandCopiesCostsItsBytes) {
  ScratchDir dir;
  constexpr int kCopies = 100000;
  constexpr int kBig = 512 * 1024;  // a record with 100,000 copies fits in one block
  ImageBuilder image(kBig);
  image.header(3, 1);
  const auto records = image.directory(1, {{"many", "DATA", 1, 2, kCopies - 1}});
  for (int i = 1; i < kCopies; ++i) image.poke32(records[0] + 68 + 4 * i, 2);
  image.data(2, "a");
  image.resize(3 * kBig);
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "many", "b");
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "many: 1 byte into 100000 copies\nNew ISO written to output.iso\n");
  EXPECT_EQ(readFile(dir / "output.iso").value().substr(2 * kBig, 1), "b");
  writeFile(dir / "many", "bc");
  EXPECT_EQ(runTool({"-c", "r", "image.iso"}, "", dir.path()).output,
            "many: 2 bytes into 100000 copies\nNew ISO written to output.iso\n");
}

// The sweep meets each stretch once, however many overlap: 100,000 stretches
// of one place, or each overlapping the next, cost 100,000 meetings.
TEST(SweepOverlaps, MeetsEachStretchOnceWithTheOneReachingFurthest) {
  for (const std::int64_t step : {0, 1}) {
    std::vector<Stretch> stretches;
    for (std::size_t i = 0; i < 100000; ++i) {
      const std::int64_t begin = step * static_cast<std::int64_t>(i);
      stretches.push_back({begin, begin + 10, i});
    }
    std::size_t meetings = 0;
    sweepOverlaps(stretches, [&](const Stretch& earlier, const Stretch& later) {
      ++meetings;
      EXPECT_GT(earlier.end, later.begin);
    });
    EXPECT_EQ(meetings, 99999u);
  }
  std::vector<Stretch> three = {{20, 30, 2}, {0, 100, 0}, {10, 15, 1}};
  std::vector<std::pair<std::size_t, std::size_t>> met;
  sweepOverlaps(three, [&](const Stretch& a, const Stretch& b) {
    met.push_back({a.owner, b.owner});
  });
  EXPECT_EQ(met, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {0, 2}}));
}

}  // namespace
}  // namespace discshell::testing
