// v and m in whole sessions of the built tool.
#include <gtest/gtest.h>

#include <cstdlib>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

// One entry (or pair) for each problem an entry or a directory can have,
// and a few that look like problems but are none (sibling directories with
// names in common, a file of 0 bytes inside another's blocks). "both" lies
// over two entries, one with each copy. The root
// takes blocks 1 to 3 and its last entry runs on into block 5; the volume
// claims 40 blocks, and the image ends inside block 38.
ImageBuilder damagedVolume() {
  ImageBuilder image(512);
  image.header(40, 1);
  image.data(20, "0123456789");
  image.data(22, "copy zero!");
  image.data(23, "copy one!!");
  for (int block : {24, 25}) image.data(block, "same");
  const auto root = image.directory(1,
                                    {{"good", "TEXT", 10, 20},
                                     {"shared", "TEXT", 10, 20},
                                     {"wide", "DATA", 600, 20},
                                     {"negative", "DATA", -5, 21},
                                     {"zero", "DATA", 3, 0},
                                     {"far", "DATA", 3, 45},
                                     {"cut", "DATA", 600, 37},
                                     {"twin", "DATA", 10, 22, 1},
                                     {"triple", "DATA", 4, 24, 2},
                                     {"sub", "DIR", 512, 8},
                                     {"docs", "DIR", 512, 10, 1},
                                     {"good", "TEXT", 10, 20},
                                     {"again", "DIR", 512, 8},
                                     {"onroot", "DATA", 1, 1},
                                     {"twin", "DATA", 0, 21},
                                     {"both", "DATA", 4, 20, 1},
                                     {"end", "DATA", 512, 39},
                                     {"list", "DATA", 4, 24, 200}},
                                    3);
  image.furtherCopies(root[7], {23});
  image.furtherCopies(root[8], {25, 0});
  image.furtherCopies(root[10], {11});
  image.furtherCopies(root[15], {21});
  image.directory(8, {{"inner", "TEXT", 4, 26}, {"up", "DIR", 512, 8}});
  image.directory(10, {{"note", "TEXT", 4, 26}, {"inner", "TEXT", 4, 26}, {"note", "TEXT", 4, 26}});
  image.directory(11, {});
  image.resize(37 * 512 + 300);
  return image;
}

TEST(Check, NamesEveryProblemWithItsPathFromTheRootAndFailsTheBatch) {
  ScratchDir dir;
  damagedVolume().save(dir / "image.iso");
  const RunResult run = runTool({"-c", "c sub", "-c", "v", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "Entering sub:\n"
            "/: the volume ends 1236 bytes past the end of the image.\n"
            "negative: byte count -5 is negative.\n"
            "zero: copy 0 has block 0.\n"
            "far: copy 0 lies outside the volume.\n"
            "cut: copy 0 runs past the end of the image.\n"
            "twin: copy 1 differs from copy 0\n"
            "triple: copy 2 overlaps the volume header.\n"
            "triple: copy 2 differs from copy 0\n"
            "sub/up/: directory already seen at sub/\n"
            "docs/: copy 1 differs from copy 0\n"
            "docs/note: an earlier entry of its directory has the same name.\n"
            "good: an earlier entry of its directory has the same name.\n"
            "again/: directory already seen at sub/\n"
            "twin: an earlier entry of its directory has the same name.\n"
            "both: copy 1 differs from copy 0\n"
            "end: copy 0 runs past the end of the image.\n"
            "list: its copy list runs past its directory block.\n"
            "wide: overlaps good\n"
            "good: overlaps wide\n"
            "onroot: overlaps /\n"
            "both: overlaps good\n"
            "Checked 3 directories and 19 files: 21 problems.\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.status, 2);
}

// The header and the root: a small volume made wrong in one place at a time.
TEST(Check, NamesProblemsOfTheHeaderAndTheRootAsTheRoot) {
  const auto volume = [](std::int32_t blockCount, std::int32_t lastCopyIndex) {
    ImageBuilder image(512);
    image.header(blockCount, 1);
    image.data(5, "file");
    image.directory(1, {{"file", "TEXT", 4, 5, lastCopyIndex}});
    image.resize(8 * 512);
    return image;
  };
  ImageBuilder noBlockSize = volume(8, 0);
  noBlockSize.header(0, 8, 1);
  ImageBuilder cut = volume(8, 0);
  cut.resize(512 + 94);  // the end marker is cut off
  ImageBuilder stuck = volume(8, 0);
  stuck.poke32(512 + 20 + 64, -18);  // an entry 0 bytes long
  ImageBuilder copies = volume(8, 0);
  copies.poke(copies.blockPosition(2),
              std::string(copies.bytes().begin() + 512, copies.bytes().begin() + 1024));
  copies.rootCopies({2, 3, 99});
  ImageBuilder ignored = volume(8, 0);
  ignored.rootCopies({99, 99, 99, 99, 99, 99, 99, 99});  // a last index of 8 counts as 0
  ImageBuilder rootOnHeader = volume(8, 0);
  rootOnHeader.rootCopies({0});
  ImageBuilder directoryOnHeader = volume(8, 0);
  const auto records =
      directoryOnHeader.directory(1, {{"file", "TEXT", 4, 5}, {"sub", "D", 512, 3, 1}});
  directoryOnHeader.furtherCopies(records[1], {0});
  directoryOnHeader.directory(3, {});
  // Blocks of 96 bytes: block 1 holds header bytes. Of 104: block 1 starts
  // right behind them.
  ImageBuilder smallBlocks(96);
  smallBlocks.header(16, 2);
  smallBlocks.directory(2, {{"low", "TEXT", 3, 1}});
  smallBlocks.resize(16 * 96);
  ImageBuilder edgeBlocks(104);
  edgeBlocks.header(16, 2);
  edgeBlocks.furtherCopies(edgeBlocks.directory(2, {{"edge", "TEXT", 4, 1, 1}})[0], {0});
  edgeBlocks.resize(16 * 104);
  // Two entries' data at one block below the root's: the lowest stretch of
  // the volume is met as any other.
  ImageBuilder below(512);
  below.header(8, 3);
  below.directory(3, {{"x", "TEXT", 4, 2}, {"y", "DATA", 500, 2}});
  below.resize(8 * 512);
  const std::string kOneFile = "Checked 1 directory and 1 file: ";
  const std::vector<std::pair<ImageBuilder, std::string>> cases = {
      {noBlockSize,
       "/: block size 0 is not positive.\nChecked 1 directory and 0 files: 1 problem.\n"},
      {volume(-1, 0), "/: block count -1 is negative.\n" + kOneFile + "1 problem.\n"},
      {cut,
       "/: the volume ends 3490 bytes past the end of the image.\n"
       "/: the walk reaches the end of the image at byte 604 without an end marker.\n"
       "file: copy 0 runs past the end of the image.\n" +
           kOneFile + "3 problems.\n"},
      {stuck,
       "/: the entry at byte 532 would not move the walk forward.\n" + kOneFile + "1 problem.\n"},
      {copies, "/: copy 3 lies outside the image.\n/: copy 2 differs from copy 0\n" + kOneFile +
                   "2 problems.\n"},
      {ignored, kOneFile + "0 problems.\n"},
      {rootOnHeader, "/: copy 1 overlaps the volume header.\n/: copy 1 differs from copy 0\n" +
                         kOneFile + "2 problems.\n"},
      {directoryOnHeader,
       "sub/: copy 1 overlaps the volume header.\nsub/: copy 1 differs from copy 0\n"
       "Checked 2 directories and 1 file: 2 problems.\n"},
      {smallBlocks, "low: copy 0 overlaps the volume header.\n" + kOneFile + "1 problem.\n"},
      {edgeBlocks, "edge: copy 1 overlaps the volume header.\n" + kOneFile + "1 problem.\n"},
      {below, "y: overlaps x\nChecked 1 directory and 2 files: 1 problem.\n"},
  };
  ScratchDir dir;
  for (const auto& [image, output] : cases) {
    image.save(dir / "image.iso");
    const RunResult run = runTool({"-c", "v", "image.iso"}, "", dir.path());
    EXPECT_EQ(run.output, output);
  }
}

// Past its first 4,096 names a directory is read through once, and only
// the names that repeat are kept from there on: thousands of them, behind
// thousands that do not, are each named once.
TEST(Check, NamesEveryRepeatedNameOfALargeDirectory) {
  std::vector<tools::EntrySpec> entries;
  for (int i = 0; i < 4100; ++i) entries.push_back({"u" + std::to_string(i), "TEXT", 1, 445});
  std::string expected;
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = 0; i < 4100; ++i) {
      entries.push_back({"r" + std::to_string(i), "TEXT", 1, 445});
      if (copy == 1) {
        expected +=
            "r" + std::to_string(i) + ": an earlier entry of its directory has the same name.\n";
      }
    }
  }
  ImageBuilder image(2048);
  image.header(446, 1);
  image.directory(1, entries, 440);
  image.data(445, "x");
  image.resize(446 * 2048);
  ScratchDir dir;
  image.save(dir / "image.iso");
  const RunResult run = runTool({"-c", "v", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output, expected + "Checked 1 directory and 12300 files: 4100 problems.\n");
}

// Only structure keeps data from being a directory: script/ stays one
// whatever its entries hold, and is listed, extracted and checked whole;
// data that reads as a directory up to some entry and then fails that way
// is named by v, data that fails at its first entry is not.
TEST(Check, TakesADirectoryWithDamagedEntriesForOneAndNamesBrokenStructure) {
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(8, "one\n");
  image.data(10, "menu");
  image.data(11, "MENU");
  image.data(12, std::string(24, '\x01'));  // a first entry without a name
  image.directory(1, {{"script", "DIR", 512, 2},
                      {"broken", "DIR", 512, 4},
                      {"unended", "DIR", 512, 5},
                      {"stuck", "DIR", 512, 7},
                      {"data", "DATA", 512, 12}});
  image.directory(2, {{"ch1", "TEXT", 4, 8},
                      {"ch2", "TEXT", -5, 9},
                      {"far", "TEXT", 4, 9999},
                      {"menu", "DIR", 512, 3}});
  const auto menu = image.directory(3, {{"item", "TEXT", 4, 10, 1}});
  image.furtherCopies(menu[0], {11});
  image.directory(4, {{"a", "TEXT", 4, 8}, {"", "TEXT", 4, 8}});
  // Seven entries: the seventh runs past the block, where the end marker is.
  image.directory(5, std::vector<tools::EntrySpec>(7, {"e", "TEXT", 4, 8}));
  image.directory(7, {{"a", "TEXT", 4, 8}, {"b", "TEXT", 4, 8}});
  image.poke32(image.blockPosition(7) + 20 + 72 + 64, -18);  // b is 0 bytes long
  image.resize(16 * 512);
  ScratchDir dir;
  image.save(dir / "image.iso");
  const RunResult check = runTool({"-c", "v", "image.iso"}, "", dir.path());
  EXPECT_EQ(check.output,
            "script/ch2: byte count -5 is negative.\n"
            "script/far: copy 0 lies outside the volume.\n"
            "script/menu/item: copy 1 differs from copy 0\n"
            "broken: reads as a directory up to entry 1, then entry 2 has no name.\n"
            "unended: reads as a directory up to entry 6, then finds no end marker within its "
            "512 bytes.\n"
            "stuck: reads as a directory up to entry 1, then entry 2 would not move the walk "
            "forward.\n"
            "Checked 3 directories and 8 files: 6 problems.\n");
  const RunResult tree = runTool({"-c", "t script", "-c", "x", "image.iso"}, "", dir.path());
  EXPECT_EQ(tree.output,
            "TEXT\t4\t8\tch1\nTEXT\t-5\t9\tch2\nTEXT\t4\t9999\tfar\nDIR\t512\t3\tmenu/\n"
            "TEXT\t4\t10\tmenu/item\n"
            "script/ch1\nscript/menu/item\nbroken\nunended\nstuck\ndata\n"
            "Extracted 6 files and 2 directories, 2056 bytes; 2 failures.\n");
  EXPECT_EQ(tree.errors, batchErrors("-c 2",
                                     "script/ch2: Invalid entry size.\n"
                                     "script/far: Image ends early: 0 of 4 bytes written.\n"));
  EXPECT_EQ(readFile(dir / "script/menu/item"), "menu");
}

// Names sha256sum escapes, a subdirectory, what x would not write (a later
// entry of a name, also after a directory met again), and an entry the image
// cuts short, whose existing bytes x writes.
ImageBuilder checksumVolume() {
  ImageBuilder image(512);
  image.header(8, 1);
  image.data(3, "Hello, world!\n");
  image.data(4, "backslash");
  image.data(5, "feed");
  image.data(7, "cut short");
  image.directory(1,
                  {{"hello.txt", "TEXT", 14, 3},
                   {"back\\slash", "TEXT", 9, 4},
                   {"sub", "DIR", 512, 6},
                   {"again", "DIR", 512, 6},
                   {"again", "TEXT", 4, 5},
                   {"..", "TEXT", 4, 5},
                   {"negative", "TEXT", -1, 5},
                   {"zero", "TEXT", 4, 0},
                   {"cut", "DATA", 600, 7}},
                  2);
  image.directory(6, {{"line\r\nfeed", "TEXT", 4, 5}});
  image.resize(7 * 512 + 9);
  return image;
}

TEST(Checksums, ListWhatXWritesSoThatSha256sumChecksItAndNameWhatXSkips) {
  if (kWindows) GTEST_SKIP() << "sha256sum, and names with a backslash or a line feed, are POSIX's";
  ScratchDir dir;
  checksumVolume().save(dir / "image.iso");
  const RunResult run = runTool({"-c", "m", "image.iso"}, "", dir.path());
  if (!DISCSHELL_HAVE_CHECKSUMS) {
    EXPECT_EQ(run.errors, batchErrors("-c 1", "Invalid command\n"));
    EXPECT_EQ(runTool({"-h"}, "", dir.path()).output.find("\nm [PATH]"), std::string::npos);
    return;
  }
  // The lines without their digests, which sha256sum checks below.
  std::vector<std::string> lines;
  std::string names;
  for (std::size_t start = 0, end; (end = run.output.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(run.output.substr(start, end + 1 - start));
    const std::size_t escaped = lines.back()[0] == '\\' ? 1 : 0;
    names += lines.back().substr(0, escaped) + lines.back().substr(64 + escaped);
  }
  EXPECT_EQ(names, "  hello.txt\n\\  back\\\\slash\n\\  sub/line\\r\\nfeed\n  %2E%2E\n  cut\n");
  EXPECT_EQ(run.errors,
            batchErrors("-c 1",
                        "again: Duplicate name; not extracted.\n"
                        "negative: Invalid entry size.\n"
                        "zero: File not found.\ncut: Image ends early: 9 of 600 bytes written.\n"));
  EXPECT_EQ(run.status, 2);

  writeFile(dir / "image.sha256", run.output);
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 2);
  EXPECT_FALSE(exists(dir / "again"));
  const std::string check = "cd '" + dir.path() + "' && sha256sum --check --strict image.sha256";
  EXPECT_EQ(std::system((check + " >/dev/null").c_str()), 0);
  writeFile(dir / "sub/line\r\nfeed", "FEED");
  EXPECT_NE(std::system((check + " >/dev/null 2>&1").c_str()), 0);
  // PATH a directory: the paths as x PATH writes them, which sha256sum
  // checks where x PATH wrote.
  ASSERT_EQ(lines.size(), 5u);
  ScratchDir elsewhere;
  writeFile(elsewhere / "image.iso", readFile(dir / "image.iso").value());
  ASSERT_EQ(runTool({"-c", "x sub", "image.iso"}, "", elsewhere.path()).status, 0);
  const RunResult sub = runTool({"-c", "m sub", "image.iso"}, "", elsewhere.path());
  EXPECT_EQ(sub.output, lines[2]);
  writeFile(elsewhere / "sub.sha256", sub.output);
  EXPECT_EQ(std::system(("cd '" + elsewhere.path() +
                         "' && sha256sum --check --strict sub.sha256 "
                         ">/dev/null")
                            .c_str()),
            0);
}

}  // namespace
}  // namespace discshell::testing
