// u: changed local files back into every copy, or nothing at all.
#include <gtest/gtest.h>

#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

std::string bytesOf(const ImageBuilder& image) {
  return std::string(image.bytes().begin(), image.bytes().end());
}

// Files with 1, 2 and 4 copies, in the root and in a subdirectory.
ImageBuilder copiesVolume() {
  ImageBuilder image(512);
  image.header(40, 1);
  image.data(20, "top file!\n");
  for (int block : {21, 22}) image.data(block, "12345678");
  for (int block : {24, 25, 26, 27}) image.data(block, "abcdef");
  image.data(28, "guide\n");
  const auto root = image.directory(
      1, {{"top.txt", "TEXT", 10, 20}, {"docs", "DIR", 512, 2}, {"k1", "DATA", 8, 21, 1}});
  image.poke32(root[2] + 72, 22);
  const auto docs = image.directory(2, {{"k3", "DATA", 6, 24, 3}, {"guide", "TEXT", 6, 28}});
  for (int i = 1; i <= 3; ++i) image.poke32(docs[0] + 68 + 4 * i, 24 + i);
  image.resize(40 * 512);
  return image;
}

TEST(Update, WritesEveryChangedFileIntoEveryCopyInOnePass) {
  ScratchDir dir;
  const ImageBuilder image = copiesVolume();
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  writeFile(dir / "top.txt", "TOP FILE!\n");
  writeFile(dir / "k1", "ab");
  writeFile(dir / "docs/k3", "XYZXYZ");
  const RunResult run = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "top.txt: 10 bytes into 1 copy\ndocs/k3: 6 bytes into 4 copies\n"
            "k1: 2 bytes into 2 copies\nNew ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0);
  ImageBuilder expected = copiesVolume();
  expected.data(20, "TOP FILE!\n");
  for (int block : {21, 22}) expected.data(block, "ab");
  for (int block : {24, 25, 26, 27}) expected.data(block, "XYZXYZ");
  EXPECT_TRUE(readFile(dir / "output.iso") == bytesOf(expected));
  EXPECT_TRUE(readFile(dir / "image.iso") == bytesOf(image));
}

// x, edit in place, u, x again: the edited tree comes back, through the
// three blocks of logs too.
TEST(Update, RoundTripsTheDemoDisc) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "logs/day16.log", "Day 16: NOT quiet!\n");
  writeFile(dir / "docs/archive/old-notes.txt", "Something seen here!\n");
  EXPECT_EQ(runTool({"-c", "u", "demo.iso"}, "", dir.path()).status, 0);
  ScratchDir again;
  std::filesystem::rename(dir / "output.iso", again / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", again.path()).status, 0);
  for (const char* path : {"logs/day16.log", "docs/archive/old-notes.txt", "logs/day01.log",
                           "README", "docs/guide.txt"}) {
    EXPECT_EQ(readFile(again / path), readFile(dir / path)) << path;
  }
}

TEST(Update, RefusesTheWholeCommandOnAnyProblemAndWritesNothing) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(40, 1);
  const auto root = image.directory(1, {{"long", "DATA", 4, 20},
                                        {"outside", "DATA", 8, 39},
                                        {"block0", "DATA", 4, 0},
                                        {"negative", "DATA", 4, -3},
                                        {"share1", "DATA", 4, 21},
                                        {"share2", "DATA", 4, 21},
                                        {"isdir", "DATA", 4, 22},
                                        {"sub", "DIR", 512, 2},
                                        {"twice", "DATA", 4, 23, 1},
                                        {"past", "DATA", 4, 24, 200},
                                        {"linked", "DATA", 4, 25},
                                        {"linkdir", "DIR", 512, 3}});
  image.poke32(root[8] + 72, 40);  // twice's second copy lies past the end
  image.directory(2, {});
  image.directory(3, {{"inner", "DATA", 4, 26}});
  image.resize(39 * 512 + 4);
  image.save(dir / "image.iso");
  writeFile(dir / "output.iso", "earlier");
  for (const char* name : {"outside", "block0", "negative", "share1", "twice", "past"}) {
    writeFile(dir / name, "new");
  }
  writeFile(dir / "long", "12345");
  writeFile(dir / "share2", "NEW");
  writeFile(dir / "sub", "a file");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "isdir"));
  // Links are never followed, to a file or to a directory holding the file.
  if (!makeSymbolicLink("long", dir / "linked")) GTEST_SKIP() << kNoSymbolicLinks;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "elsewhere"));
  writeFile(dir / "elsewhere/inner", "new");
  ASSERT_TRUE(makeSymbolicLink("elsewhere", dir / "linkdir"));
  const RunResult run = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors,
            "long: local file is longer than the entry (5 > 4 bytes).\n"
            "outside: copy 0 lies outside the image.\n"
            "block0: copy 0 has block 0.\n"
            "negative: copy 0 lies outside the image.\n"
            "isdir: local directory where the entry is a file.\n"
            "sub: local file where the entry is a directory.\n"
            "twice: copy 1 lies outside the image.\n"
            "past: its copy list runs past its directory block.\n"
            "linked: a symbolic link stands where x writes the file.\n"
            "linkdir: a symbolic link stands where x writes the file.\n"
            "share1: overlaps share2 in the image with different bytes.\n"
            "Nothing written; output.iso is as it was.\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(readFile(dir / "output.iso"), "earlier");

  // output.iso that is the image itself is refused too.
  ASSERT_TRUE(std::filesystem::remove(dir / "output.iso"));
  ASSERT_TRUE(makeSymbolicLink("image.iso", dir / "output.iso"));
  EXPECT_EQ(runTool({"-c", "u share1", "image.iso"}, "", dir.path()).errors,
            "output.iso: is the image.\nNothing written; output.iso is as it was.\n");
}

}  // namespace
}  // namespace discshell::testing
