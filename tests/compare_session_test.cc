// --compare in whole sessions of the built tool: the lines of every kind of
// difference, the verdict beside diff -r of x's extractions, and damage.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "console/help.h"
#include "local/local_name.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

// The old tree: files that stay, grow, change, go and are renamed; a
// directory that goes whole; a directory and a file that swap kinds. The
// root takes blocks 1 and 2, the other directories 10 on, data 20 on.
std::vector<tools::EntrySpec> oldRoot(std::int32_t blockSize) {
  return {{"README", "TEXT", 10, 20},       {"same.txt", "TEXT", 5, 21},
          {"grow.txt", "TEXT", 4, 22},      {"edit.txt", "TEXT", 6, 23},
          {"gone.txt", "TEXT", 3, 24},      {"docs", "DIR", blockSize, 10},
          {"olddir", "DIR", blockSize, 11}, {"swap", "DIR", blockSize, 13},
          {"flip", "TEXT", 4, 29}};
}

ImageBuilder oldVolume(std::int32_t blockSize = 512, std::int32_t volumeOffset = 0,
                       const std::function<void(std::vector<tools::EntrySpec>&)>& change = {}) {
  ImageBuilder image(blockSize, volumeOffset);
  image.header(64, 1);
  const std::vector<std::pair<std::int32_t, std::string>> data = {
      {20, "0123456789"}, {21, "same!"}, {22, "grow"}, {23, "edit-1"}, {24, "bye"},
      {25, "guide"},      {26, "moved"}, {27, "x"},    {28, "y"},      {29, "flip"}};
  for (const auto& [block, bytes] : data) image.data(block, bytes);
  std::vector<tools::EntrySpec> root = oldRoot(blockSize);
  if (change) change(root);
  image.directory(1, root, 2);
  image.directory(root[5].startBlock, {{"guide.txt", "TEXT", 5, 25}, {"old.txt", "TEXT", 5, 26}});
  image.directory(11, {{"x", "TEXT", 1, 27}, {"sub", "DIR", blockSize, 12}});
  image.directory(12, {{"y", "TEXT", 1, 28}});
  image.directory(13, {});
  image.resize(std::int64_t{volumeOffset} + 64 * blockSize);
  return image;
}

ImageBuilder newVolume() {
  ImageBuilder image(512);
  image.header(64, 1);
  const std::vector<std::pair<std::int32_t, std::string>> data = {
      {20, "0123456789"}, {21, "same!"}, {22, "grow+four"}, {23, "edit-2"}, {25, "guide"},
      {30, "new"},        {31, "moved"}, {32, "swap"},      {33, "z"},      {34, "w"}};
  for (const auto& [block, bytes] : data) image.data(block, bytes);
  image.directory(1,
                  {{"README", "TEXT", 10, 20},
                   {"added.txt", "TEXT", 3, 30},
                   {"same.txt", "TEXT", 5, 21},
                   {"grow.txt", "TEXT", 9, 22},
                   {"edit.txt", "TEXT", 6, 23},
                   {"docs", "DIR", 512, 10},
                   {"swap", "TEXT", 4, 32},
                   {"flip", "DIR", 512, 14},
                   {"newdir", "DIR", 512, 15}},
                  2);
  image.directory(10, {{"guide.txt", "TEXT", 5, 25}, {"new.txt", "TEXT", 5, 31}});
  image.directory(14, {{"z", "TEXT", 1, 33}});
  image.directory(15, {{"inner", "DIR", 512, 16}, {"w", "TEXT", 1, 34}});
  image.directory(16, {{"deeper", "TEXT", 1, 34}});
  image.resize(64 * 512);
  return image;
}

RunResult compare(const ScratchDir& dir, const ImageBuilder& old, const ImageBuilder& now,
                  std::vector<std::string> args = {}) {
  old.save(dir / "old.iso");
  now.save(dir / "new.iso");
  args.insert(args.end(), {"--compare", "new.iso", "old.iso"});
  return runTool(args, "", dir.path());
}

// The local paths (as x writes them) that compare's lines name; `names`
// gives the local names of entry names with a "/" in them.
std::set<std::string> pathsNamed(const std::string& output,
                                 const std::map<std::string, std::string>& names = {}) {
  const auto local = [&](std::string path) {
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (const auto known = names.find(path); known != names.end()) return known->second;
    std::string joined;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
      joined += (joined.empty() ? "" : "/") + localName(part);
    }
    return joined;
  };
  std::set<std::string> paths;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const auto cut = [&](std::size_t from, std::string_view end) {
      return line.substr(from, line.find(end, from) - from);
    };
    if (line.starts_with("added ")) {
      paths.insert(local(cut(6, " (")));
    } else if (line.starts_with("erased ")) {
      paths.insert(local(cut(7, " (")));
    } else if (line.starts_with("changed ")) {
      paths.insert(local(cut(8, ": ")));
    } else if (line.starts_with("renamed ")) {
      paths.insert(local(cut(8, " -> ")));
      paths.insert(local(line.substr(line.find(" -> ") + 4)));
    } else if (line.find(": a ") != std::string::npos) {
      paths.insert(local(cut(0, ": a ")));
    }
  }
  return paths;
}

// The two images of a comparison, each as IMAGE [VOLUME-OFFSET].
struct ImagePair {
  std::vector<std::string> old = {"old.iso"};
  std::vector<std::string> now = {"new.iso"};
};

// The paths diff -r names between x's extractions of the two images.
std::set<std::string> pathsDiffNames(const ScratchDir& dir, const ImagePair& images) {
  for (const auto& [into, image] :
       {std::pair("old-x", images.old), std::pair("new-x", images.now)}) {
    std::filesystem::remove_all(dir / into);
    std::filesystem::create_directory(dir / into);
    std::vector<std::string> args = {"-C", into, "-c", "x"};
    args.insert(args.end(), image.begin(), image.end());
    EXPECT_EQ(runTool(args, "", dir.path()).status, 0);
  }
  const std::string command = "cd '" + dir.path() + "' && diff -rq old-x new-x >diff.txt";
  EXPECT_LE(std::system(command.c_str()) >> 8, 1);
  std::set<std::string> paths;
  std::istringstream lines(readFile(dir / "diff.txt").value_or(""));
  const auto strip = [](std::string path) { return path.substr(path.find('/') + 1); };
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Only in ")) {
      const std::size_t colon = line.find(": ");
      const std::string where = line.substr(8, colon - 8);
      const std::string name = line.substr(colon + 2);
      paths.insert(where.find('/') == std::string::npos ? name : strip(where) + "/" + name);
    } else {
      // "Files A and B differ", "File A is a directory while file B is ..."
      const std::size_t start = line.find(' ') + 1;
      paths.insert(strip(line.substr(start, line.find(' ', start) - start)));
    }
  }
  return paths;
}

// The verdict of a run beside diff -r of x's extractions: no line and
// status 0 where diff finds nothing, else the very paths diff names.
void expectAgreesWithDiff(const ScratchDir& dir, const RunResult& run, const ImagePair& images = {},
                          const std::map<std::string, std::string>& names = {}) {
  if (kWindows) return;  // the callers skip first; diff is no Windows tool
  const std::set<std::string> named = pathsNamed(run.output, names);
  EXPECT_EQ(named, pathsDiffNames(dir, images));
  EXPECT_EQ(run.status, named.empty() ? 0 : 1);
}

TEST(Compare, SaysWhatWasAddedErasedChangedRenamedAndWhichKindChanged) {
  ScratchDir dir;
  const RunResult run = compare(dir, oldVolume(), newVolume());
  EXPECT_EQ(run.output,
            "added added.txt (3 bytes)\n"
            "changed grow.txt: 4 -> 9 bytes\n"
            "changed edit.txt: 6 bytes\n"
            "erased gone.txt\n"
            "renamed docs/old.txt -> docs/new.txt\n"
            "erased olddir/ (directory, 3 entries)\n"
            "swap: a directory in old.iso, a file in new.iso\n"
            "flip: a file in old.iso, a directory in new.iso\n"
            "added newdir/ (directory, 3 entries)\n"
            "4 same, 2 added, 2 erased, 4 changed, 1 renamed.\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.status, 1);
  // The other way round, each addition is an erasure, in the new walk order.
  const RunResult back = runTool({"--compare", "old.iso", "new.iso"}, "", dir.path());
  EXPECT_EQ(back.output,
            "erased added.txt\n"
            "changed grow.txt: 9 -> 4 bytes\n"
            "changed edit.txt: 6 bytes\n"
            "added gone.txt (3 bytes)\n"
            "renamed docs/new.txt -> docs/old.txt\n"
            "added olddir/ (directory, 3 entries)\n"
            "swap: a file in new.iso, a directory in old.iso\n"
            "flip: a directory in new.iso, a file in old.iso\n"
            "erased newdir/ (directory, 3 entries)\n"
            "4 same, 2 added, 2 erased, 4 changed, 1 renamed.\n");
  if (kWindows) GTEST_SKIP() << "diff -r, which the verdict is checked against, is no Windows tool";
  expectAgreesWithDiff(dir, run);
}

// A rename is looked for among the first eight added files of its size: a
// ninth that holds the bytes is an addition, and the old name erased.
TEST(Compare, TriesEightFilesOfTheSizeForARename) {
  ScratchDir dir;
  for (const int holder : {8, 9}) {
    ImageBuilder old(512);
    old.header(30, 1);
    old.directory(1, {{"old", "TEXT", 4, 20}});
    old.data(20, "KEEP");
    old.resize(30 * 512);
    ImageBuilder now(512);
    now.header(30, 1);
    std::vector<tools::EntrySpec> added;
    std::string expected;
    for (int i = 1; i <= 9; ++i) {
      added.push_back({"a" + std::to_string(i), "TEXT", 4, 10 + i});
      now.data(10 + i, i == holder ? "KEEP" : "NO!" + std::to_string(i));
      if (i != holder || holder == 9) expected += "added a" + std::to_string(i) + " (4 bytes)\n";
    }
    now.directory(1, added);
    now.resize(30 * 512);
    const RunResult run = compare(dir, old, now);
    expected = holder == 9 ? "erased old\n" + expected +
                                 "0 same, 9 added, 1 erased, 0 changed, 0 renamed.\n"
                           : "renamed old -> a8\n" + expected +
                                 "0 same, 8 added, 0 erased, 0 changed, 1 renamed.\n";
    EXPECT_EQ(run.output, expected) << holder;
  }
}

// Renames are looked for among the first 65,536 erased files of at least a
// byte in a directory, and a file kept is never one: its copy is added.
TEST(Compare, TakesOnlyFilesNothingMatchedAndTheFirst65536ForRenames) {
  ScratchDir dir;
  for (const std::int32_t fillerSize : {3, 0}) {
    ImageBuilder old(2048);
    old.header(2400, 1);
    std::vector<tools::EntrySpec> erased;
    for (int i = 0; i < 65536; ++i) {
      erased.push_back({"e" + std::to_string(i), "TEXT", fillerSize, 2390});
    }
    erased.push_back({"last", "TEXT", 4, 2391});
    old.directory(1, erased, 2345);
    old.data(2390, "NO!");
    old.data(2391, "KEEP");
    old.resize(2400 * 2048);
    ImageBuilder now = old;
    now.directory(1, {{"new", "TEXT", 4, 2391}});
    const std::string output = compare(dir, old, now).output;
    EXPECT_EQ(output.substr(output.rfind("erased e65535\n")),
              fillerSize > 0 ? "erased e65535\n"
                               "erased last\n"
                               "added new (4 bytes)\n"
                               "0 same, 1 added, 65537 erased, 0 changed, 0 renamed.\n"
                             : "erased e65535\n"
                               "renamed last -> new\n"
                               "0 same, 0 added, 65536 erased, 0 changed, 1 renamed.\n");
  }
  ImageBuilder kept(512);
  kept.header(30, 1);
  kept.data(20, "KEEP");
  kept.data(21, "1");
  ImageBuilder copied = kept;
  kept.directory(1, {{"x", "TEXT", 4, 20}, {"o", "TEXT", 1, 21}});
  copied.directory(1, {{"x", "TEXT", 4, 20}, {"y", "TEXT", 4, 20}, {"n", "TEXT", 1, 21}});
  EXPECT_EQ(compare(dir, kept, copied).output,
            "renamed o -> n\n"
            "added y (4 bytes)\n"
            "1 same, 1 added, 0 erased, 0 changed, 1 renamed.\n");
}

// The old tree with other places: README moved, same.txt with a second
// copy, grow.txt of another type, docs in other blocks, and one block more.
ImageBuilder movedVolume() {
  ImageBuilder image = oldVolume(512, 0, [](std::vector<tools::EntrySpec>& root) {
    root[0].startBlock = 40;
    root[1].lastCopyIndex = 1;
    root[2].type = "DATA";
    root[5].startBlock = 17;
  });
  image.header(65, 1);
  image.data(40, "0123456789");
  image.data(41, "same!");
  image.furtherCopies(image.blockPosition(1) + 20 + 72, {41});
  image.resize(65 * 512);
  return image;
}

// The same tree at another place in its image, or in blocks of another
// size, is the same tree; --layout says where its parts lie.
TEST(Compare, FindsTheSameTreeWhereverItLiesAndLayoutSaysWhere) {
  ScratchDir dir;
  oldVolume(512, 1000).save(dir / "offset.iso");
  oldVolume(1024).save(dir / "wide.iso");
  oldVolume().save(dir / "old.iso");
  movedVolume().save(dir / "moved.iso");
  const std::string same = "14 same, 0 added, 0 erased, 0 changed, 0 renamed.\n";
  const std::vector<std::pair<std::vector<std::string>, ImagePair>> pairs = {
      {{"--compare", "old.iso", "offset.iso", "1000"}, {{"offset.iso", "1000"}, {"old.iso"}}},
      {{"--other-offset", "0x3e8", "--compare", "offset.iso", "old.iso"},
       {{"old.iso"}, {"offset.iso", "1000"}}},
      {{"--compare", "wide.iso", "old.iso"}, {{"old.iso"}, {"wide.iso"}}},
      {{"--compare", "moved.iso", "old.iso"}, {{"old.iso"}, {"moved.iso"}}}};
  for (const auto& [args, images] : pairs) {
    const RunResult run = runTool(args, "", dir.path());
    EXPECT_EQ(run.output + run.errors, same) << args[1];
    EXPECT_EQ(run.status, 0);
    expectAgreesWithDiff(dir, run, images);
  }
  const RunResult wide = runTool({"--layout", "--compare", "wide.iso", "old.iso"}, "", dir.path());
  EXPECT_EQ(wide.output,
            "/: block size 512 -> 1024 bytes\n"
            "/: volume size 32768 -> 65536 bytes\n"
            "14 same, 0 added, 0 erased, 0 changed, 0 renamed, 1 moved.\n");
  EXPECT_EQ(wide.status, 1);
  const RunResult moved =
      runTool({"--layout", "--compare", "moved.iso", "old.iso"}, "", dir.path());
  EXPECT_EQ(moved.output,
            "/: volume size 32768 -> 33280 bytes\n"
            "moved README: block 20 -> block 40\n"
            "same.txt: 1 copy -> 2 copies\n"
            "grow.txt: type TEXT -> DATA\n"
            "moved docs/: block 10 -> block 17\n"
            "10 same, 0 added, 0 erased, 0 changed, 0 renamed, 5 moved.\n");
  EXPECT_EQ(moved.errors, "");
  EXPECT_EQ(moved.status, 1);
  if (kWindows) GTEST_SKIP() << "diff -r, which the verdict is checked against, is no Windows tool";
}

// Compare names entries as the listings do; x and diff see their escapes.
TEST(Compare, NamesEntriesAsTheListingsDoNotAsTheirLocalFiles) {
  ScratchDir dir;
  ImageBuilder old(512);
  old.header(32, 1);
  old.data(20, "one");
  old.directory(1, {{"a/b", "TEXT", 3, 20}});
  old.resize(32 * 512);
  ImageBuilder now = old;
  now.data(21, "two");
  now.directory(1, {{"a/b", "TEXT", 3, 21}, {"..", "TEXT", 1, 20}});
  const RunResult run = compare(dir, old, now);
  EXPECT_EQ(run.output,
            "changed a/b: 3 bytes\n"
            "added .. (1 byte)\n"
            "0 same, 1 added, 0 erased, 1 changed, 0 renamed.\n");
  if (kWindows) GTEST_SKIP() << "diff -r, which the verdict is checked against, is no Windows tool";
  expectAgreesWithDiff(dir, run, {}, {{"a/b", localName("a/b")}});
}

// One directory of 150,000 files against the same in another order, one
// file gone, one new, one repeated, one renamed: the names are matched out
// of order in a few bytes a name, beside what t keeps.
TEST(Compare, MatchesALargeDirectoryOutOfOrderInLittleMemory) {
  constexpr int kFiles = 150000;
  ScratchDir dir;
  // Built by a child: a forked tool's peak counts what its parent holds.
  ASSERT_TRUE(inChildProcess([&] {
    std::vector<tools::EntrySpec> files;
    for (int i = 0; i < kFiles; ++i) files.push_back({"f" + std::to_string(i), "D", 0, 9999});
    const auto save = [&](const std::vector<tools::EntrySpec>& entries, const std::string& name,
                          const std::string& kept) {
      ImageBuilder image(2048);
      image.header(5362, 1);
      image.data(5360, "ren!");
      image.data(5361, kept);
      image.directory(1, entries, 5358);
      image.save(dir / name);
    };
    std::vector<tools::EntrySpec> old = files;
    old.push_back({"r1", "TEXT", 4, 5360});
    old.push_back({"r2", "TEXT", 4, 5361});
    save(old, "old.iso", "keep");
    std::vector<tools::EntrySpec> now = files;
    now.erase(now.begin() + 77777);
    now.insert(now.begin() + 140000, files[100]);
    now.erase(now.begin() + 100);
    now.insert(now.begin() + 50000, {"f150000", "D", 0, 9999});
    now.insert(now.begin() + 11, {"f5", "D", 0, 9999});
    now.push_back({"s1", "TEXT", 4, 5360});
    now.push_back({"r2", "TEXT", 4, 5361});
    save(now, "new.iso", "kept");
  }));
  const RunResult run = runTool({"--compare", "new.iso", "old.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "added f150000 (0 bytes)\n"
            "erased f77777\n"
            "renamed r1 -> s1\n"
            "changed r2: 4 bytes\n"
            "149999 same, 1 added, 1 erased, 1 changed, 1 renamed.\n");
  EXPECT_EQ(run.errors,
            "discshell: new.iso: f5: an earlier entry of its directory has the same name; not "
            "compared.\n");
  EXPECT_EQ(run.status, 2);
  if (kWindows) GTEST_SKIP() << "the harness measures a child's peak memory only on POSIX";
  if (!DISCSHELL_SANITIZED) {  // the sanitizers need more of their own
    const RunResult tree = runTool({"-c", "t", "old.iso"}, "", dir.path());
    EXPECT_LT(run.peakKiB, tree.peakKiB + 3 * 1024);
  }
}

// Damage in both: a loop, a negative size, block 0, a repeated name, and
// data that the other image holds only in part. Each is named where it lies
// and makes the run trouble; nothing damaged counts as the same.
TEST(Compare, NamesDamageInEitherImageAndEndsInTrouble) {
  ScratchDir dir;
  ImageBuilder old(512);
  old.header(40, 1);
  old.data(21, "one");
  old.data(22, "two");
  old.data(23, "f");
  old.data(30, std::string(600, 'B'));
  old.directory(1,
                {{"loop", "DIR", 1024, 1},
                 {"neg", "DATA", -5, 20},
                 {"zero", "DATA", 3, 0},
                 {"dup", "TEXT", 3, 21},
                 {"dup", "TEXT", 3, 22},
                 {"big", "DATA", 600, 30},
                 {"sub", "DIR", 512, 10}},
                2);
  old.directory(10, {{"self", "DIR", 512, 10}, {"f", "TEXT", 1, 23}});
  old.resize(40 * 512);
  ImageBuilder cut = old;
  cut.resize(30 * 512 + 300);
  const RunResult run = compare(dir, old, cut);
  EXPECT_EQ(run.output,
            "changed big: 600 bytes\n"
            "3 same, 0 added, 0 erased, 1 changed, 0 renamed.\n");
  EXPECT_EQ(run.errors,
            "discshell: old.iso: loop/: directory already visited, not entered again\n"
            "discshell: old.iso: neg: byte count -5 is negative; not compared.\n"
            "discshell: old.iso: zero: its start block is 0; not compared.\n"
            "discshell: new.iso: neg: byte count -5 is negative; not compared.\n"
            "discshell: new.iso: zero: its start block is 0; not compared.\n"
            "discshell: old.iso: dup: an earlier entry of its directory has the same name; not "
            "compared.\n"
            "discshell: new.iso: dup: an earlier entry of its directory has the same name; not "
            "compared.\n"
            "discshell: new.iso: big: runs past the end of the image; compared as far as both "
            "hold bytes.\n"
            "discshell: old.iso: sub/self/: directory already visited, not entered again\n");
  EXPECT_EQ(run.status, 2);
  // The other image ends inside its root: what it holds is compared.
  ImageBuilder rootCut = oldVolume();
  rootCut.resize(512 + 20 + 3 * 72 + 10);
  const RunResult ended = compare(dir, oldVolume(), rootCut);
  EXPECT_EQ(ended.output,
            "changed README: 10 bytes\n"
            "changed same.txt: 5 bytes\n"
            "changed grow.txt: 4 bytes\n"
            "erased edit.txt\n"
            "erased gone.txt\n"
            "erased docs/ (directory, 2 entries)\n"
            "erased olddir/ (directory, 3 entries)\n"
            "erased swap/ (directory, 0 entries)\n"
            "erased flip\n"
            "0 same, 0 added, 6 erased, 3 changed, 0 renamed.\n");
  EXPECT_EQ(ended.errors,
            "discshell: new.iso: /: the walk ends at byte 748 without an end marker; compared as "
            "far as it reads.\n"
            "discshell: new.iso: README: runs past the end of the image; compared as far as both "
            "hold bytes.\n"
            "discshell: new.iso: same.txt: runs past the end of the image; compared as far as "
            "both hold bytes.\n"
            "discshell: new.iso: grow.txt: runs past the end of the image; compared as far as "
            "both hold bytes.\n");
  EXPECT_EQ(ended.status, 2);
  // A nameless entry in the root is named by its place, once in each image.
  ImageBuilder nameless(512);
  nameless.header(8, 1);
  nameless.directory(1, {{"a", "TEXT", 1, 3}, {"", "TEXT", 1, 3}});
  nameless.data(3, "a");
  const RunResult unnamed = compare(dir, nameless, nameless);
  EXPECT_EQ(unnamed.output, "1 same, 0 added, 0 erased, 0 changed, 0 renamed.\n");
  EXPECT_EQ(unnamed.errors,
            "discshell: old.iso: /: the entry at byte 604 has no name; not compared.\n"
            "discshell: new.iso: /: the entry at byte 604 has no name; not compared.\n");
  EXPECT_EQ(unnamed.status, 2);
  // An entry no command finds matches nothing, in step or further on.
  ImageBuilder unfound(512);
  unfound.header(8, 1);
  unfound.data(3, "aa");
  unfound.data(4, "b");
  unfound.data(5, "c");
  ImageBuilder found = unfound;
  unfound.directory(1, {{"c", "TEXT", 1, 5}, {"a", "TEXT", 2, 0}, {"b", "TEXT", 1, 4}});
  found.directory(1, {{"c", "TEXT", 1, 0}, {"b", "TEXT", 1, 4}, {"a", "TEXT", 2, 3}});
  const RunResult moved = compare(dir, unfound, found);
  EXPECT_EQ(moved.output,
            "erased c\n"
            "added a (2 bytes)\n"
            "1 same, 1 added, 1 erased, 0 changed, 0 renamed.\n");
  EXPECT_EQ(moved.errors,
            "discshell: old.iso: a: its start block is 0; not compared.\n"
            "discshell: new.iso: c: its start block is 0; not compared.\n");
  EXPECT_EQ(moved.status, 2);
}

TEST(CompareOptions, GoWithCompareAndEveryRefusalIsTrouble) {
  ScratchDir dir;
  oldVolume().save(dir / "old.iso");
  writeFile(dir / "short.iso", std::string(100, 'x'));
  const std::string old = dir / "old.iso";
  for (const auto& [args, errors, status] :
       std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
           {{"--compare"},
            "discshell: option requires an argument: --compare\n" + std::string(kUsageLine),
            2},
           {{"-z", "--compare", old, old},
            "discshell: unknown option: -z\n" + std::string(kUsageLine),
            2},
           {{"--compare", old}, "discshell: no IMAGE given\n" + std::string(kUsageLine), 2},
           {{"--compare", old, "-c", "l", old}, "discshell: --compare takes no commands\n", 2},
           {{"--layout", old},
            "discshell: --other-offset and --layout go with --compare\n" + std::string(kUsageLine),
            1},
           {{"--compare", dir / "none.iso", old},
            "discshell: " + (dir / "none.iso") + ": Could not open image file.\n",
            2},
           {{"--compare", dir / "short.iso", old},
            "discshell: " + (dir / "short.iso") + ": Could not read volume header.\n",
            2},
           {{"--compare", old, dir / "none.iso"},
            "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n",
            2},
           {{"--compare", old, dir / "short.iso"}, "Could not read volume header.\n", 2},
       }) {
    const RunResult run = runInProcess(args, "", false);
    EXPECT_EQ(run.output, "") << args[0];
    EXPECT_EQ(run.errors, errors);
    EXPECT_EQ(run.status, status) << errors;
  }
}

}  // namespace
}  // namespace discshell::testing
