// Paths, t, x, p, s and h in whole sessions of the built tool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

std::string everyByte() {
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
  return bytes;
}

// An entry literally named "a/b" beside a directory a holding b; a directory
// that contains itself and leads again to a/b; unsafe names; an entry at block 0.
ImageBuilder treeVolume() {
  ImageBuilder image(512);
  image.header(32, 1);
  image.data(20, "deep\n");
  image.data(21, everyByte());
  image.data(22, "note\n");
  image.data(23, "lit\n");
  image.directory(1, {{"a/b", "DIR", 512, 5},
                      {"a", "DIR", 512, 2},
                      {"bytes", "DATA", 256, 21},
                      {"loop", "DIR", 512, 4},
                      {"..", "TEXT", 1, 20},
                      {"zero", "TEXT", 3, 0}});
  image.directory(2, {{"b", "DIR", 512, 3}, {"note", "TEXT", 5, 22}});
  image.directory(3, {{"deep", "TEXT", 5, 20}});
  image.directory(4, {{"self", "DIR", 512, 4}, {"again", "DIR", 512, 3}});
  image.directory(5, {{"lit", "TEXT", 4, 23}});
  image.resize(32 * 512);
  return image;
}

const std::string kSummary = summary(16384, 512, 512);

TEST(Paths, TakeAnExactNameFirstThenComponentsWithDotDotAndRoot) {
  ScratchDir dir;
  const RunResult run = runOnImage(treeVolume(),
                                   "c a/b\np lit\nc /a/./b/\np deep\ns\nc ../..//a\np note\n"
                                   "c /..\nc ../x\nc ..\nc ../x\nc .\nc ..\nl\n",
                                   dir);
  const std::string notFound = "?>Directory not found.\n";
  EXPECT_EQ(run.output, kSummary +
                            "?>Entering a/b:\n?>lit\n?>Entering /a/./b/:\n?>deep\n"
                            "?>Path: /a/b\nPosition: 1536\n?>Entering ../..//a:\n?>note\n" +
                            notFound + notFound + "?>" + notFound + notFound + "?>");
  EXPECT_EQ(run.status, 0);
}

// For the path commands "." and ".." alone name directories, and a path that
// names an entry as a directory needs one; c keeps its own rule.
TEST(Paths, NameDirectoriesWithDotsAndTrailingSlashesOnlyWhereThereAreSome) {
  ScratchDir dir;
  const RunResult run =
      runOnImage(treeVolume(),
                 "c a\ns .\ns ..\ns b/..\nt .\nx .\nu ..\nc ..\nt ..\n"
                 "s bytes/\nt bytes/.\nx a/note/..\np bytes/\nu bytes/\nc bytes/\nq\n",
                 dir);
  const std::string notADirectory = "?>Directory not found.\n";
  EXPECT_EQ(run.output, kSummary +
                            "?>Entering a:\n?>Path: /a\nPosition: 1024\n"
                            "?>Path: /\nPosition: 512\n?>Path: /a\nPosition: 1024\n"
                            "?>DIR\t512\t3\tb/\nTEXT\t5\t20\tb/deep\nTEXT\t5\t22\tnote\n"
                            "?>b/deep\nnote\nExtracted 2 files and 1 directory, 10 bytes; "
                            "0 failures.\n?>No local files of this tree here: run x first, "
                            "or change to where x wrote them.\n?>?>TEXT\t1\t20\t..\n" +
                            notADirectory + notADirectory + notADirectory + notADirectory +
                            notADirectory + "?>Entering bytes/:\n?>Exiting...\n");
  tools::demoImage().save(dir / "demo.iso");
  const RunResult top = runTool({"-c", "t ..", "demo.iso"}, "", dir.path());
  EXPECT_EQ(top.errors, batchErrors("-c 1", "File not found.\n"));
  EXPECT_EQ(top.status, 2);
}

TEST(Tree, ListsAndExtractsEachDirectoryOnceAndReportsWhatItSkips) {
  ScratchDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "a"));  // reused
  writeFile(dir / "a/keep", "mine");
  // A link where a directory belongs is never followed; where no link can
  // be made, a file stands there instead.
  ASSERT_TRUE(std::filesystem::create_directory(dir / "elsewhere"));
  if (!makeSymbolicLink("elsewhere", dir / "loop")) writeFile(dir / "loop", "not a directory");
  const auto mask = ::umask(002);  // new directories get 0777 less this
  const RunResult run = runOnImage(treeVolume(), "t\nx\nt a\nt bytes\nt nothing\nq\n", dir);
  ::umask(mask);
  EXPECT_EQ(
      run.output,
      kSummary +
          "?>DIR\t512\t5\ta/b/\nTEXT\t4\t23\ta/b/lit\nDIR\t512\t2\ta/\nDIR\t512\t3\ta/b/\n"
          "TEXT\t5\t20\ta/b/deep\nTEXT\t5\t22\ta/note\nDATA\t256\t21\tbytes\n"
          "DIR\t512\t4\tloop/\nDIR\t512\t4\tloop/self/\nDIR\t512\t3\tloop/again/\n"
          "TEXT\t1\t20\t..\nTEXT\t3\t0\tzero\n"
          "?>a/b: written as a%2Fb.\na/b/lit\na/b/deep\na/note\nbytes\n"
          "loop: Could not create local directory.\n..: written as %2E%2E.\n"
          "zero: File not found.\nExtracted 5 files and 3 directories, 271 bytes; 2 failures.\n"
          "?>DIR\t512\t3\tb/\nTEXT\t5\t20\tb/deep\nTEXT\t5\t22\tnote\n"
          "?>DATA\t256\t21\tbytes\n?>File not found.\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "a/b/deep"), "deep\n");
  EXPECT_EQ(readFile(dir / "a/keep"), "mine");
  EXPECT_EQ(readFile(dir / "bytes"), everyByte());
  if (!kWindows) {  // where directories have permission bits
    EXPECT_EQ(static_cast<unsigned>(std::filesystem::status(dir / "a/b").permissions()), 0775u);
  }
  EXPECT_TRUE(listNames(dir / "elsewhere").empty());
  EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"%2E%2E", "a", "a%2Fb", "bytes",
                                                             "elsewhere", "image.iso", "loop"}));
  EXPECT_EQ(readFile(dir / "a%2Fb/lit"), "lit\n");

  std::filesystem::remove(dir / "loop");
  EXPECT_EQ(runTool({"image.iso"}, "x loop\np bytes\ns loop/again\nq\n", dir.path()).output,
            kSummary +
                "?>loop/self/: directory already extracted, not entered again\nloop/again/deep\n"
                "Extracted 1 file and 2 directories, 5 bytes; 0 failures.\n?>" +
                everyByte() +
                "?>Name: again\nType: DIR\nByte count: 512\nDirectory: yes\nStart block: 3\n"
                "Data position: 1536\nLast copy index: 0\nCopy 0: block 3, position 1536\n"
                "Record position: 2140\n?>Exiting...\n");
}

// A chain of 100,000 nested directories, far deeper than any recursion could go.
TEST(Tree, WorksAtTheBottomOfAHundredThousandLevels) {
  // Windows takes paths of 32767 characters: x would make 16,383 levels.
  if (kWindows) GTEST_SKIP() << "the figures below are PATH_MAX's, 4096 bytes";
  constexpr int kDepth = 100000;
  constexpr int kTail = 3000;  // t lists these; its output grows with their square
  ImageBuilder image(128);
  image.header(kDepth + 2, 1);
  for (int level = 1; level <= kDepth; ++level) {
    image.directory(level, {{"d", "DIR", 128, level + 1}});
  }
  image.directory(kDepth + 1, {});
  std::string script;
  for (int i = 0; i < kDepth; ++i) script += i == kDepth - kTail ? "t\nx\nc d\n" : "c d\n";
  ScratchDir dir;
  const RunResult run = runOnImage(image, script + "s\nq\n", dir);
  const auto chain = [](int components) {
    std::string path = "d";
    for (int i = 1; i < components; ++i) path += "/d";
    return path;
  };
  // t: one line per level; x: stops where the local path would reach PATH_MAX
  // (4096 bytes with its NUL, 2,048 levels of "d/"); s: the whole path.
  const std::string tail = "DIR\t128\t" + std::to_string(kDepth + 1) + "\t" + chain(kTail) +
                           "/\n?>" + chain(2049) + ": Local path too long.\n" +
                           "Extracted 0 files and 2048 directories, 0 bytes; 1 failure.\n";
  EXPECT_NE(run.output.find(tail), std::string::npos);
  EXPECT_NE(run.output.find("?>Path: /" + chain(kDepth) + "\nPosition: 12800128\n?>Exiting...\n"),
            std::string::npos);
  EXPECT_EQ(run.status, 0);
}

// Replacing a file works wherever creating it did: near the path limit the
// replacement's temporary name must not be what stops it. The files come
// after each level's subdirectory, so that the local directories, of which
// only the last few levels stay open, are found again on the way back; and
// m stops where x does.
TEST(Tree, ReplacesFilesWhereverItCreatedThemUpToThePathLimit) {
  if (kWindows) GTEST_SKIP() << "the figures below are PATH_MAX's, 4096 bytes";
  // 132 levels of 30 bytes and a "/" take 4,092 bytes: below them "fff" is a
  // path of 4,095 bytes, the longest there is, and "ffff" one of 4,096.
  constexpr int kDepth = 135;
  ImageBuilder image(512);
  image.header(kDepth + 3, 1);
  image.data(kDepth + 2, "f\n");
  for (int level = 1; level <= kDepth; ++level) {
    const std::string number = std::to_string(1000 + level);
    image.directory(level, {{std::string(26, 'a') + number, "DIR", 512, level + 1},
                            {"fff", "TEXT", 2, kDepth + 2},
                            {"ffff", "TEXT", 2, kDepth + 2}});
  }
  image.directory(kDepth + 1, {});
  ScratchDir dir;
  image.save(dir / "image.iso");
  const RunResult created = runTool({"-c", "x", "image.iso"}, "", dir.path());
  EXPECT_NE(created.output.find("Extracted 265 files and 132 directories, 530 bytes; 2 failures"),
            std::string::npos);
  EXPECT_NE(created.errors.find("/ffff: Local path too long.\n"), std::string::npos);
  const RunResult replaced = runTool({"--overwrite", "-c", "x", "image.iso"}, "", dir.path());
  EXPECT_EQ(replaced.output, created.output);
  EXPECT_EQ(replaced.errors, created.errors);
  if (!DISCSHELL_HAVE_CHECKSUMS) return;
  const RunResult sums = runTool({"-c", "m", "image.iso"}, "", dir.path());
  EXPECT_EQ(std::count(sums.output.begin(), sums.output.end(), '\n'), 265);
  EXPECT_EQ(sums.errors, created.errors);
}

// t and u keep a few bytes per directory and none per file, v 4 bytes a
// file for a moment: one directory of 150,000 files of one block, each at a
// start block past the image's end, three named as earlier ones are.
TEST(Tree, KeepsNothingPerFile) {
  constexpr int kFiles = 150000;
  ScratchDir dir;
  // Built by a child: a forked tool's peak counts what its parent holds, and
  // freed memory is not always given back.
  ASSERT_TRUE(inChildProcess([&] {
    std::vector<tools::EntrySpec> files;
    for (int i = 0; i < kFiles; ++i) {
      files.push_back({"f" + std::to_string(i), "D", 2048, 6000 + i});
    }
    files[120000].name = "f100";
    files[140000].name = "f0";
    files[145000].name = "f130000";
    ImageBuilder image(2048);
    image.header(5359, 1);
    image.directory(1, files, 5358);
    image.save(dir / "image.iso");
  }));
  const RunResult run = runTool({"-c", "t", "-c", "u", "image.iso"}, "", dir.path());
  EXPECT_TRUE(run.output.ends_with("D\t2048\t155999\tf149999\n"));
  EXPECT_EQ(run.errors, batchErrors("-c 2",
                                    "No local files of this tree here: run x first, or change to "
                                    "where x wrote them.\n"));
  const RunResult check = runTool({"-c", "v", "image.iso"}, "", dir.path());
  std::string sameNames;
  for (std::size_t start = 0, end; (end = check.output.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = check.output.substr(start, end + 1 - start);
    if (line.find("same name") != std::string::npos) sameNames += line;
  }
  EXPECT_EQ(sameNames,
            "f100: an earlier entry of its directory has the same name.\n"
            "f0: an earlier entry of its directory has the same name.\n"
            "f130000: an earlier entry of its directory has the same name.\n");
  if (kWindows) GTEST_SKIP() << "the harness measures a child's peak memory only on POSIX";
  if (!DISCSHELL_SANITIZED) {  // the sanitizers need more of their own
    EXPECT_LT(run.peakKiB, 8192);
    EXPECT_LT(check.peakKiB, run.peakKiB + 2048);
  }
}

// p shows an entry at a terminal as the listings show names, also where a
// UTF-8 character straddles its 1 MiB pieces; elsewhere it prints every byte.
TEST(Print, ShowsControlCharactersAsQuestionMarksOnlyOnATerminal) {
  ScratchDir dir;
  const std::string head = "\x1b]0;title\x07tab\there\n\xc3\xa9\x7f\xc2\x85\x9f";
  std::string data = head + std::string((1 << 20) - 1 - head.size(), 'x');
  data += "\xe2\x82\xac\xe2\x82";  // a euro sign across the pieces, a cut one at the end
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"big", "TEXT", static_cast<std::int32_t>(data.size()), 2}});
  image.data(2, data);
  image.save(dir / "image.iso");
  const std::vector<std::string> args = {"-c", "p big", dir / "image.iso"};
  const std::string shown = runInProcess(args, "", true).output;
  const std::string shownHead = "?]0;title?tab\there\n\xc3\xa9???";
  const std::string shownTail = "xx\xe2\x82\xac\xe2?";
  ASSERT_EQ(shown.size(), data.size() - 1);
  EXPECT_EQ(shown.substr(0, shownHead.size()), shownHead);
  EXPECT_EQ(shown.substr(shown.size() - shownTail.size()), shownTail);
  EXPECT_TRUE(runInProcess(args, "", false).output == data);  // not printed whole when it fails
}

// x takes a whole disc out; t and p show the same tree and the same bytes.
TEST(Tree, ExtractsTheDemoDiscWholeAndPrintsItBack) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  const RunResult tree = runTool({"-c", "t", "demo.iso"}, "", dir.path());
  std::vector<std::string> args;
  std::string local;
  std::size_t files = 0;
  for (std::size_t start = 0, end; (end = tree.output.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = tree.output.substr(start, end - start);
    const std::string path = line.substr(line.rfind('\t') + 1);
    if (path.back() == '/') continue;
    args.insert(args.end(), {"-c", "p " + path});
    local += readFile(dir / path).value_or("(missing)");
    ++files;
  }
  args.push_back("demo.iso");
  EXPECT_EQ(files, 20u);
  EXPECT_EQ(runTool(args, "", dir.path()).output, local);
  EXPECT_EQ(runTool({"-c", "v", "demo.iso"}, "", dir.path()).output,
            "Checked 4 directories and 20 files: 0 problems.\n");
  // The root is no file to print.
  const RunResult root = runTool({"-c", "p /", "demo.iso"}, "", dir.path());
  EXPECT_EQ(root.errors, batchErrors("-c 1", "File not found.\n"));
  EXPECT_EQ(root.status, 2);
}

}  // namespace
}  // namespace discshell::testing
