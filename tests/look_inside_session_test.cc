// o and f in whole sessions: xxd's lines byte for byte, and every match of
// a search through the tree, hostile images included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "bytes/search.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

constexpr std::int32_t kMiB = 1 << 20;
static_assert(kMiB % ByteSearch::kPieceBytes == 0, "1 MiB into a file is where f's reads meet");

std::string byteCycle(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i % 256);
  return bytes;
}

// 600 bytes of every value, a file the image cuts short, an empty one, one
// with a negative byte count, a name with a space and a number, a directory.
ImageBuilder hexVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, byteCycle(600));
  image.data(6, "track");
  image.data(7, "0123456789abcdefghij");
  image.directory(1, {{"bytes.bin", "DATA", 600, 4},
                      {"track 01", "DATA", 5, 6},
                      {"track", "DATA", 20, 7},
                      {"empty", "DATA", 0, 8},
                      {"negative", "DATA", -4, 7},
                      {"dir", "DIR", 512, 2},
                      {"cut", "DATA", 100, 9}});
  image.directory(2, {{"inner", "DATA", 5, 6}});
  image.data(9, "0123456789abcdefghij");
  image.resize(9 * 512 + 20);
  return image;
}

// A file of more than one read of 1 MiB with matches at its first bytes,
// across the reads and at its last bytes; a file with two copies; an entry
// named like the text (in a directory's bytes) and an unused block holding
// it; a loop; and the damaged: cut short by the image's end, a negative byte
// count, block 0.
ImageBuilder searchVolume() {
  ImageBuilder image(512);
  constexpr std::int32_t kBigBytes = kMiB + 600;
  std::string big(kBigBytes, '.');
  for (const std::int32_t at : {0, kMiB - 3, kBigBytes - 6}) {
    big.replace(static_cast<std::size_t>(at), 6, "needle");
  }
  image.data(8, big);
  image.data(2060, "one needle here");
  image.data(2061, "one needle here");
  image.data(2062, "needle");
  image.data(2063, std::string("needleneedle\0needle\\", 20));
  image.data(2064, "plain");
  image.data(2065, std::string(1002, 'a'));
  image.data(2070, "xxneedle and the rest is gone");
  const auto records = image.directory(1,
                                       {{"big.bin", "DATA", kBigBytes, 8},
                                        {"copies.txt", "TEXT", 15, 2060, 1},
                                        {"needle", "TEXT", 5, 2064},
                                        {"sub", "DIR", 512, 3},
                                        {"aaa", "TEXT", 1002, 2065},
                                        {"cut", "TEXT", 100, 2070},
                                        {"negative", "TEXT", -1, 2063},
                                        {"zero", "TEXT", 6, 0}},
                                       2);
  image.furtherCopies(records[1], {2061});
  image.directory(3, {{"a.txt", "TEXT", 20, 2063}, {"loop", "DIR", 512, 3}});
  image.header(2071, 1);
  image.resize(2070 * 512 + 29);
  return image;
}

// xxd's own lines for each offset and length, where xxd is installed.
TEST(HexView, PrintsWhatXxdPrintsForTheExtractedFile) {
  ScratchDir dir;
  hexVolume().save(dir / "image.iso");
  const std::vector<std::string> offsets = {"0", "1", "15", "16", "17", "0x257"};
  const std::vector<std::string> counts = {"", "1", "15", "16", "17", "33"};
  std::vector<std::string> args = {"-c", "x bytes.bin"};
  for (const std::string& offset : offsets) {
    for (const std::string& count : counts) {
      args.insert(args.end(), {"-c", "o bytes.bin " + offset + (count.empty() ? "" : " ") + count});
    }
  }
  args.push_back("image.iso");
  const RunResult run = runTool(args, "", dir.path());
  ASSERT_EQ(run.status, 0) << run.errors;
  std::string shown = run.output.substr(run.output.find("Extracted "));
  shown = shown.substr(shown.find('\n') + 1);
  // Literal lines, for Windows, where no xxd runs: a group cut short, the
  // bytes around 0x7f, and the last byte alone.
  const RunResult literal = runTool({"-c", "o bytes.bin 15 18", "-c", "o bytes.bin 0x78 021", "-c",
                                     "o bytes.bin 599", "image.iso"},
                                    "", dir.path());
  EXPECT_EQ(literal.output,
            "0000000f: 0f10 1112 1314 1516 1718 191a 1b1c 1d1e  ................\n"
            "0000001f: 1f20                                     . \n"
            "00000078: 7879 7a7b 7c7d 7e7f 8081 8283 8485 8687  xyz{|}~.........\n"
            "00000088: 88                                       .\n"
            "00000257: 57                                       W\n");
  if (kWindows)
    GTEST_SKIP() << "no xxd runs beside the Windows build: the literal lines were compared";
  if (std::system("xxd -v >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "xxd is not installed (Debian: xxd): only the literal lines were compared";
  }
  std::string expected;
  for (const std::string& offset : offsets) {
    for (const std::string& count : counts) {
      const std::string command = "cd '" + dir.path() + "' && xxd -s " + offset +
                                  (count.empty() ? "" : " -l " + count) + " bytes.bin >>xxd.txt";
      ASSERT_EQ(std::system(command.c_str()), 0);
    }
  }
  EXPECT_EQ(shown, readFile(dir / "xxd.txt"));
}

TEST(HexView, SaysWhatItCannotShowAndTakesTheLongestPathThatNamesAnEntry) {
  ScratchDir dir;
  const RunResult run =
      runOnImage(hexVolume(),
                 "o\no bytes.bin 600\no bytes.bin 0x258 1\no bytes.bin 0x10000000000000001\n"
                 "o bytes.bin -1\no bytes.bin 1 -1\n"
                 "o negative\no nothing 5\no dir/\no empty\no empty 0\no track 01\no track 01 2\n"
                 "o track 010 2\no dir/inner 3 0\no cut 0x10\n",
                 dir);
  EXPECT_EQ(run.output,
            summary(8192, 512, 512) + "?>Usage: o PATH [OFFSET [COUNT]]\n" +
                "?>bytes.bin: offset 600 is past its end (600 bytes).\n"
                "?>bytes.bin: offset 600 is past its end (600 bytes).\n"
                "?>bytes.bin: offset 9223372036854775807 is past its end (600 bytes).\n"
                "?>Offset and count cannot be negative.\n?>Offset and count cannot be negative.\n"
                "?>Invalid entry size.\n?>File not found.\n?>File not found.\n?>?>"
                "?>00000000: 7472 6163 6b                             track\n"
                "?>00000002: 6163 6b                                  ack\n"
                "?>00000008: 3839                                     89\n?>"
                "?>00000010: 6768 696a                                ghij\n"
                "Image ends early: 4 of 84 bytes shown.\n?>Exiting...\n");
}

// At a terminal a file shows 4 KiB unless a COUNT asks for more, and says
// how to see the rest.
TEST(HexView, ShowsFourKibibytesAtATerminalUnlessACountIsGiven) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(32, 1);
  image.data(2, byteCycle(5000));
  image.directory(1, {{"big", "DATA", 5000, 2}});
  image.save(dir / "image.iso");
  const std::string cut = runInProcess({"-c", "o big 8", dir / "image.iso"}, "", true).output;
  EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 257);
  const std::string tail =
      "00000ff8: f8f9 fafb fcfd feff 0001 0203 0405 0607  ................\n"
      "... 896 more bytes: o big 4104 896 shows them.\n";
  EXPECT_EQ(cut.substr(cut.size() - tail.size()), tail);
  const std::string whole =
      runInProcess({"-c", "o big 8 4992", dir / "image.iso"}, "", true).output;
  EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), 312);
  EXPECT_EQ(runInProcess({"-c", "o big 8", dir / "image.iso"}, "", false).output, whole);
}

// Every match in walk order, each file's data once whatever its copies,
// none in directories or unused blocks; the damaged named as x names them.
// The count is what the test counts itself, overlaps included, in what x
// extracts.
TEST(Search, FindsEveryMatchOfTheFilesXExtractsAndNamesTheDamaged) {
  ScratchDir dir;
  searchVolume().save(dir / "image.iso");
  const RunResult run = runTool({"-c", "f needle", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "big.bin: offset 0\nbig.bin: offset 1048573\nbig.bin: offset 1049170\n"
            "copies.txt: offset 4\nsub/a.txt: offset 0\nsub/a.txt: offset 6\n"
            "sub/a.txt: offset 13\nsub/loop/: directory already searched, not entered again\n"
            "cut: offset 2\n8 matches in 4 files.\n");
  EXPECT_EQ(run.errors, batchErrors("-c 1",
                                    "cut: Image ends early: 29 of 100 bytes searched.\n"
                                    "negative: Invalid entry size.\nzero: File not found.\n"));
  EXPECT_EQ(run.status, 2);
  if (!kWindows && !DISCSHELL_SANITIZED) {  // the sanitizers need more of their own
    EXPECT_LT(run.peakKiB, 8192);
  }

  const RunResult overlapping = runTool({"-c", "f aa", "image.iso"}, "", dir.path());
  EXPECT_EQ(std::count(overlapping.output.begin(), overlapping.output.end(), '\n'), 1003);
  const std::string last = "aaa: offset 999\n... and 1 more match.\n1001 matches in 1 file.\n";
  EXPECT_EQ(overlapping.output.substr(overlapping.output.size() - last.size()), last);
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 2);
  std::filesystem::remove(dir / "image.iso");
  for (const std::string text : {"needle", "aa"}) {
    std::int64_t count = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(dir.path())) {
      if (!file.is_regular_file()) continue;
      const std::string bytes = readFile(file.path().string()).value();
      for (std::size_t at = bytes.find(text); at != std::string::npos;
           at = bytes.find(text, at + 1)) {
        ++count;
      }
    }
    const std::string& output = text == "aa" ? overlapping.output : run.output;
    EXPECT_NE(output.find("\n" + std::to_string(count) + " match"), std::string::npos) << text;
  }
}

TEST(Search, ReadsEscapesAndSaysHowToWriteThem) {
  ScratchDir dir;
  const RunResult run = runOnImage(searchVolume(),
                                   "c sub\nf needle\\x00n\nf e\\\\\nf\nf \nf a\\qb\nf \\x4g\n"
                                   "f end\\\nf " +
                                       std::string(70000, 'e') + "\nf \\x6eeedle\n",
                                   dir);
  const std::string usage = "Usage: f TEXT\n?>";
  const std::string loop = "loop/: directory already searched, not entered again\n";
  const std::string escapes = ": \\xHH stands for one byte, \\\\ for a backslash.\n?>";
  EXPECT_EQ(run.output,
            summary(2071 * 512, 512, 512) + "?>Entering sub:\n?>" + "a.txt: offset 6\n" + loop +
                "1 match in 1 file.\n?>" + "a.txt: offset 18\n" + loop + "1 match in 1 file.\n?>" +
                usage + usage + "Invalid escape \\q" + escapes + "Invalid escape \\x4g" + escapes +
                "Invalid escape \\" + escapes + "TEXT too long: at most 65534 bytes.\n?>" +
                "a.txt: offset 0\na.txt: offset 6\na.txt: offset 13\n" + loop +
                "3 matches in 1 file.\n?>Exiting...\n");
}

}  // namespace
}  // namespace discshell::testing
