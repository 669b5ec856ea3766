// r: every changed entry becomes exactly its local file, in place or moved.
#include <gtest/gtest.h>

#include <filesystem>

#include "session_harness.h"
#include "transfer/patch_plan.h"
#include "transfer/resize_plan.h"
#include "transfer/update.h"

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

// x of `image` in a fresh directory must give back exactly the files of `edited`.
void expectExtractsAs(const std::string& image, const ScratchDir& edited,
                      const std::vector<std::string>& paths) {
  ScratchDir again;
  writeFile(again / "copy.iso", readFile(image).value());
  ASSERT_EQ(runTool({"-c", "x", "copy.iso"}, "", again.path()).status, 0);
  for (const std::string& path : paths)
    EXPECT_EQ(readFile(again / path), readFile(edited / path)) << path;
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
  std::filesystem::rename(dir / "output.iso", dir / "patched.iso");
  EXPECT_EQ(runTool({"-c", "r", "patched.iso"}, "", dir.path()).output,
            "demo.iso: no entry in the image; not added.\n"
            "Nothing to replace: every local file matches the image.\n");
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
            "three: 600 bytes, moved to block 48\ns1: 2 bytes, moved to block 50\n"
            "a1: 2 bytes into 1 copy\na2: 2 bytes into 1 copy\nmulti/f0: 0 bytes into 1 copy\n"
            "multi/f7: 11 bytes into 1 copy\nmulti/nb: 700 bytes, moved to block 51\n"
            "New ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 53u * kBlock);
  EXPECT_EQ(field(output, 80), be32(53));
  EXPECT_EQ(output.substr(kBlock, kBlock), output.substr(7 * kBlock, kBlock));  // both root copies
  const std::int64_t three = kBlock + 20;
  EXPECT_EQ(output.substr(three + 16, 8), be32(600) + be32(2));
  EXPECT_EQ(output.substr(three + 68, 12), be32(48) + be32(48) + be32(48));
  EXPECT_EQ(output.substr(21 * kBlock, 10), "0123456789");  // the old data stays
  EXPECT_EQ(output.substr(23 * kBlock, 6), "shared");
  EXPECT_EQ(output.substr(24 * kBlock, 5), "AAike");
  expectExtractsAs(dir / "output.iso", dir,
                   {"three", "s1", "s2", "a1", "a2", "multi/f0", "multi/f1", "multi/f7", "multi/nb",
                    "multi/after"});
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

  // Data moved behind an image of almost 2 GiB would take the output past it.
  ImageBuilder big(kBlock);
  big.header(8, 1);
  big.directory(1, {{"grows", "DATA", 4, 2}});
  big.save(dir / "big.iso");
  std::filesystem::resize_file(dir / "big.iso", (std::uintmax_t{1} << 31) - kBlock);
  writeFile(dir / "grows", std::string(kBlock + 1, 'g'));
  EXPECT_EQ(
      runTool({"-c", "r grows", "big.iso"}, "", dir.path()).errors,
      batchErrors("-c 1",
                  "output.iso: would reach 2 GiB.\nNothing written; output.iso is as it was.\n"));
}

// A local file that changes between the plan and the write: nothing is written.
TEST(Resize, WritesNothingWhenALocalFileChangesAfterItWasCompared) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "hello.txt", "Hi!\n");
  const auto image = ImageFile::open(dir / "demo.iso").value();
  const VolumeGeometry geometry = readVolumeGeometry(image, 0).value();
  const auto top = platform::Directory::open(dir.path()).value();
  const std::string output = dir / "output.iso";
  const PatchTarget target{std::nullopt, geometry.rootDirectoryOffset, "", std::nullopt};
  for (const auto planner : {planUpdate, planResize}) {
    const PatchPlan plan = planner(image, geometry, top, target, output);
    ASSERT_TRUE(plan.problems.empty());
    ASSERT_EQ(plan.lines.size(), 1u);
    writeFile(dir / "hello.txt", "Hello there!\n");
    const WriteResult result = writeChangedImage(image, top, plan.changes, output);
    EXPECT_EQ(result.outcome, WriteOutcome::kLocalFileChanged);
    EXPECT_EQ(result.path, "hello.txt");
    EXPECT_FALSE(exists(output));
    writeFile(dir / "hello.txt", "Hi!\n");
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
            "many: 1 bytes into 100000 copies\nNew ISO written to output.iso\n");
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
