// u: changed local files back into every copy, or nothing at all.
#include <gtest/gtest.h>

#include <filesystem>

#include "patched_output.h"
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
  EXPECT_EQ(runTool({"-c", "v", "output.iso"}, "", dir.path()).output,
            "Checked 2 directories and 4 files: 0 problems.\n");
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
  // Both patched images, of u and of w, are sound volumes still.
  writeFile(dir / "hello.txt", "Hi!\n");
  ASSERT_EQ(runTool({"-c", "w hello.txt", "demo.iso"}, "", dir.path()).status, 0);
  std::filesystem::rename(dir / "output.iso", again / "w.iso");
  for (const char* image : {"demo.iso", "w.iso"}) {
    EXPECT_EQ(runTool({"-c", "v", image}, "", again.path()).output,
              "Checked 4 directories and 20 files: 0 problems.\n");
  }
  // A disk that fills up: said so, and no output claimed.
  if (kWindows) return;  // no file-size limit to make a write fail
  ToolOptions full;
  full.fileSizeLimit = 4096;
  const RunResult failed = runTool({"-c", "u", "demo.iso"}, "", dir.path(), full);
  EXPECT_EQ(failed.output, "");
  EXPECT_EQ(failed.errors, batchErrors("-c 1", "Could not write output.iso: File too large.\n"));
  EXPECT_EQ(failed.status, 2);
  EXPECT_FALSE(exists(dir / "output.iso"));
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
  EXPECT_EQ(run.output, "elsewhere/: no entry in the image; not added.\n");
  EXPECT_EQ(run.errors, batchErrors("-c 1",
                                    "long: local file is longer than the entry (5 > 4 bytes).\n"
                                    "outside: copy 0 lies outside the image.\n"
                                    "block0: File not found.\n"
                                    "negative: copy 0 lies outside the image.\n"
                                    "isdir: local directory where the entry is a file.\n"
                                    "sub: local file where the entry is a directory.\n"
                                    "twice: copy 1 lies outside the image.\n"
                                    "past: its copy list runs past its directory block.\n"
                                    "linked: a symbolic link stands where x writes the file.\n"
                                    "linkdir: a symbolic link stands where x writes the file.\n"
                                    "share1: overlaps share2 in the image with different bytes.\n"
                                    "Nothing written; output.iso is as it was.\n"));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(readFile(dir / "output.iso"), "earlier");

  // Shared data edited on one side only, and output.iso that is the image.
  ASSERT_TRUE(std::filesystem::remove(dir / "output.iso"));
  ASSERT_TRUE(makeSymbolicLink("image.iso", dir / "output.iso"));
  EXPECT_EQ(runTool({"-c", "u share1", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 1",
                        "share1: shares its data with share2, which is not changed the same way.\n"
                        "output.iso: is the image.\nNothing written; output.iso is as it was.\n"));
}

// x and u take the first entry of a name only; u never writes over a
// directory, and says when it finds no local file of the tree at all.
TEST(Update, TakesTheFirstEntryOfANameAndNeverWritesOverADirectory) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(40, 1);
  const auto root = image.directory(
      1, {{"dup", "DATA", 4, 20}, {"dup", "DATA", 4, 21}, {"ondir", "DATA", 4, 22, 1}});
  image.poke32(root[2] + 72, 1);  // ondir's second copy is the root's block
  image.data(20, "aaaa");
  image.data(21, "bbbb");
  image.data(22, "cccc");
  image.resize(40 * 512);
  image.save(dir / "image.iso");
  const RunResult none = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(none.errors, batchErrors("-c 1",
                                     "No local files of this tree here: run x first, or "
                                     "change to where x wrote them.\n"));
  EXPECT_EQ(none.status, 2);
  const RunResult x = runTool({"-c", "x", "image.iso"}, "", dir.path());
  EXPECT_EQ(x.output, "dup\nondir\nExtracted 2 files and 0 directories, 8 bytes; 1 failure.\n");
  EXPECT_EQ(x.errors, batchErrors("-c 1", "dup: Duplicate name; not extracted.\n"));
  EXPECT_EQ(readFile(dir / "dup"), "aaaa");
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  writeFile(dir / "ondir", "CCCC");
  for (const char* command : {"u", "r"}) {
    EXPECT_EQ(runTool({"-c", command, "image.iso"}, "", dir.path()).errors,
              batchErrors("-c 1", "ondir: copy 1 overlaps the directory /.\nNothing written.\n"));
  }
  EXPECT_FALSE(exists(dir / "output.iso"));
}

// What sits exactly at an edge is sound: a copy that ends at the image's
// end, two entries overlapping in part and edited alike, files longer than
// one comparison buffer; the image at an entry's place is no replacement,
// and with nothing to replace the output is not looked at.
TEST(Update, AcceptsWhatLiesExactlyAtTheEdges) {
  ScratchDir dir;
  constexpr int kBig = 200 * 1024;
  ImageBuilder image(512);
  image.header(420, 1);
  std::string big(kBig, '\0');
  for (int i = 0; i < kBig; ++i) big[static_cast<std::size_t>(i)] = static_cast<char>(i * 7);
  image.data(2, big);
  image.data(410, std::string(1024, 'a'));
  image.directory(1, {{"big", "DATA", kBig, 2},
                      {"a", "DATA", 1024, 410},
                      {"b", "DATA", 512, 411},
                      {"self", "DATA", 4, 412},
                      {"end", "DATA", 512, 419}});
  image.resize(420 * 512);
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  ASSERT_TRUE(std::filesystem::remove(dir / "self"));
  std::filesystem::create_hard_link(dir / "image.iso", dir / "self");
  std::filesystem::create_hard_link(dir / "image.iso", dir / "output.iso");
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  ASSERT_TRUE(std::filesystem::remove(dir / "output.iso"));

  big[150 * 1024] = 'X';
  writeFile(dir / "big", big);
  writeFile(dir / "a", std::string(512, 'A') + std::string(512, 'B'));
  writeFile(dir / "b", std::string(512, 'B'));
  writeFile(dir / "end", std::string(512, 'E'));
  const RunResult run = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "big: 204800 bytes into 1 copy\na: 1024 bytes into 1 copy\nb: 512 bytes into 1 copy\n"
            "end: 512 bytes into 1 copy\nNew ISO written to output.iso\n");
  EXPECT_EQ(run.errors, "");
  ImageBuilder expected = image;
  expected.data(2, big);
  expected.data(410, std::string(512, 'A') + std::string(512, 'B'));
  expected.data(419, std::string(512, 'E'));
  EXPECT_TRUE(readFile(dir / "output.iso") == bytesOf(expected));
}

// Behind a volume offset, block 0 is still the volume's first block, where
// the header is; and an entry that runs past the image's end is unchanged
// when its local file holds the bytes that exist.
TEST(Update, KeepsOffBlockZeroBehindAVolumeOffsetAndComparesWhatXWrote) {
  ScratchDir dir;
  ImageBuilder image(512, 16);
  image.header(40, 1);
  image.data(30, "head");
  image.data(39, std::string(512, 'p'));
  const auto root = image.directory(1, {{"head", "DATA", 4, 30, 1}, {"past", "DATA", 600, 39}});
  image.poke32(root[0] + 72, 0);
  image.resize(16 + 40 * 512);
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso", "16"}, "", dir.path()).status, 2);  // past ends early
  EXPECT_EQ(runTool({"-c", "u", "image.iso", "16"}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  writeFile(dir / "head", "HEAD");
  EXPECT_EQ(runTool({"-c", "u", "image.iso", "16"}, "", dir.path()).errors,
            batchErrors("-c 1", "head: copy 1 has block 0.\nNothing written.\n"));
}

// The volume header is the volume's first 104 bytes, whatever the block
// size: below 104 it reaches into block 1, which u, r and w never write.
TEST(Update, NeverWritesDataOverTheVolumeHeader) {
  ScratchDir dir;
  for (const int blockSize : {103, 104}) {
    const int offset = blockSize == 103 ? 16 : 0;
    ImageBuilder image(blockSize, offset);
    image.data(1, "abcdefgh");
    image.header(40, 3);  // with 103-byte blocks its last byte is f's first
    image.directory(3, {{"f", "DATA", 8, 1}});
    image.resize(offset + 40 * blockSize);
    image.save(dir / "image.iso");
    writeFile(dir / "f", "ABCDEFGH");
    for (const char* command : {"u", "r", "w f"}) {
      writeFile(dir / "output.iso", "earlier");
      const RunResult run =
          runTool({"-c", command, "image.iso", std::to_string(offset)}, "", dir.path());
      if (blockSize == 103) {  // block 1 holds the header's last byte
        const std::string refusal =
            command[0] == 'w' ? "" : "Nothing written; output.iso is as it was.\n";
        EXPECT_EQ(run.errors,
                  batchErrors("-c 1", "f: copy 0 overlaps the volume header.\n" + refusal))
            << command;
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(readFile(dir / "output.iso"), "earlier");
      } else {
        EXPECT_EQ(run.status, 0) << command << run.errors;
        expectChecksLikeInput(dir, "image.iso");
        expectExtractsAs(dir / "output.iso", dir, {"f"});
      }
    }
  }
  // An empty entry still has its block, here within the header's bytes.
  ImageBuilder image(64);
  image.header(40, 3);
  image.directory(3, {{"empty", "DATA", 0, 1}});
  image.resize(40 * 64);
  image.save(dir / "image.iso");
  writeFile(dir / "empty", "");
  writeFile(dir / "output.iso", "earlier");
  const RunResult run = runTool({"-c", "w empty", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 1", "empty: copy 0 overlaps the volume header.\n"));
  EXPECT_TRUE(readFile(dir / "output.iso") == "earlier");
}

// What u refuses it names from where the user stands, once each; an
// unreadable or misplaced local file is reported, not "No local files";
// and a failed write says whether an earlier output is still there.
TEST(Update, NamesEveryConflictOnceFromWhereTheUserStands) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(24, 1);
  const auto root = image.directory(1,
                                    {{"a", "DIR", 512, 4},
                                     {"ab", "DIR", 512, 5},
                                     {"F", "DATA", 1024, 20},
                                     {"X", "DATA", 5000, 21},  // runs past the image's end
                                     {"G", "DATA", 4, 10, 1},
                                     {"H", "DATA", 4, 10, 1},
                                     {"zero", "DATA", 4, 0}},
                                    2);
  image.furtherCopies(root[4], {11});
  image.furtherCopies(root[5], {11});
  image.directory(4, {{"file", "DATA", 4, 15}});
  image.directory(5, {{"file", "DATA", 4, 15}});
  std::string f(1024, '\0');
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<char>(i * 7);
  image.data(20, f);
  image.data(10, "gggg");
  image.data(11, "gggg");
  image.data(15, "file");
  image.resize(24 * 512);
  image.save(dir / "image.iso");

  writeFile(dir / "zero", "new");
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 1", "zero: File not found.\nNothing written.\n"));
  ASSERT_TRUE(std::filesystem::remove(dir / "zero"));

  writeFile(dir / "file", "FILE");  // where x puts a/file after c a
  EXPECT_EQ(runTool({"-c", "c a", "-c", "u", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 2",
                        "file: shares its data with /ab/file, which is not changed the same way.\n"
                        "Nothing written.\n"));

  writeFile(dir / "G", "GGGG");
  f.replace(0, 512, std::string(512, 'F'));  // X begins at F's second block, which stays
  writeFile(dir / "F", f);
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).errors,
            batchErrors("-c 1",
                        "G: shares its data with H, which is not changed the same way.\n"
                        "Nothing written.\n"));
  writeFile(dir / "G", "gggg");
  const RunResult run = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "file: no entry in the image; not added.\nF: 1024 bytes into 1 copy\n"
            "New ISO written to output.iso\n");
  expectChecksLikeInput(dir, "image.iso");
  expectExtractsAs(dir / "output.iso", dir, {"F", "G"});

  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to make a write fail";
  ToolOptions limit;
  limit.fileSizeLimit = 1000;
  const std::string earlier = readFile(dir / "output.iso").value();
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path(), limit).errors,
            batchErrors("-c 1", "Could not write output.iso: File too large; it is as it was.\n"));
  EXPECT_TRUE(readFile(dir / "output.iso") == earlier);
  ASSERT_TRUE(std::filesystem::remove(dir / "output.iso"));
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path(), limit).errors,
            batchErrors("-c 1", "Could not write output.iso: File too large.\n"));
  EXPECT_FALSE(exists(dir / "output.iso"));
}

}  // namespace
}  // namespace discshell::testing
