// Entries and local files, both ways: names a folder cannot hold, names a
// folder takes as one, and local files that no entry means.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "local/local_name.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

// The lines of `text`, sorted: the order a folder lists its names in is its own.
std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != text.npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What x prints for a file or directory at `path` named `name`.
std::string extracted(const std::string& path, const std::string& name) {
  const std::string local = localName(name);
  return local == name ? path + "\n" : path + ": written as " + local + ".\n";
}

// "a/b" and the literal "a%2Fb" take one local name, the first in walk
// order keeps it; the rest need escapes on Windows only.
ImageBuilder escapedVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"a/b", "TEXT", 4, 10},
                      {"a%2Fb", "TEXT", 4, 11},
                      {"..", "TEXT", 4, 12},
                      {"sub/dir", "DIR", 512, 2},
                      {"CON.txt", "TEXT", 4, 14},
                      {"ok", "TEXT", 4, 15}});
  image.directory(2, {{"x:y", "TEXT", 4, 13}});
  for (const auto& [block, data] : std::vector<std::pair<int, std::string>>{
           {10, "slsh"}, {11, "pcnt"}, {12, "dots"}, {13, "coln"}, {14, "devc"}, {15, "okay"}}) {
    image.data(block, data);
  }
  image.resize(16 * 512);
  return image;
}

TEST(LocalNames, EscapedNamesRoundTripThroughXUAndM) {
  ScratchDir dir;
  escapedVolume().save(dir / "image.iso");
  const RunResult x = runTool({"-c", "x", "image.iso"}, "", dir.path());
  EXPECT_EQ(x.output, extracted("a/b", "a/b") + extracted("..", "..") +
                          extracted("sub/dir", "sub/dir") + extracted("sub/dir/x:y", "x:y") +
                          extracted("CON.txt", "CON.txt") + extracted("ok", "ok") +
                          "Extracted 5 files and 1 directory, 20 bytes; 1 skipped: a name this "
                          "folder takes as another; 0 failures.\n");
  EXPECT_EQ(
      x.errors,
      batchErrors("-c 1", "a%2Fb: its name is the same file as a%2Fb here; not extracted.\n"));
  EXPECT_EQ(readFile(dir / "a%2Fb"), "slsh");
  EXPECT_EQ(readFile(dir / "%2E%2E"), "dots");
  EXPECT_EQ(readFile(dir / "sub%2Fdir" + "/" + localName("x:y")), "coln");
  EXPECT_EQ(readFile(dir / localName("CON.txt")), "devc");

  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  writeFile(dir / "a%2Fb", "SLSH");
  writeFile(dir / "%2E%2E", "DOTS");
  const RunResult u = runTool({"-c", "u", "image.iso"}, "", dir.path());
  EXPECT_EQ(u.output,
            "a/b: 4 bytes into 1 copy\n..: 4 bytes into 1 copy\nNew ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  std::string expected = readFile(dir / "image.iso").value();
  expected.replace(10 * 512, 4, "SLSH").replace(12 * 512, 4, "DOTS");
  EXPECT_EQ(output, expected);  // and the literal "a%2Fb" kept its bytes

  if (!DISCSHELL_HAVE_CHECKSUMS) return;
  const RunResult m = runTool({"-c", "m", "image.iso"}, "", dir.path());
  std::vector<std::string> paths;
  for (const std::string& line : sortedLines(m.output)) paths.push_back(line.substr(66));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"%2E%2E", localName("CON.txt"), "a%2Fb", "ok",
                                             "sub%2Fdir/" + localName("x:y")}));
}

// The directory "a/b" and, after it, a literal "a%2Fb" take one local
// folder: every command that goes from local names to entries takes it as
// the first, the one x filled it from.
TEST(LocalNames, OneLocalNameMeansTheFirstEntryOfItInEveryCommand) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"a/b", "DIR", 512, 2}, {"a%2Fb", "DIR", 512, 3}});
  image.directory(2, {{"in.txt", "TEXT", 4, 10}});
  image.directory(3, {{"in.txt", "TEXT", 4, 11}, {"old.txt", "TEXT", 4, 12}});
  image.data(10, "AAAA");
  image.data(11, "BBBB");
  image.resize(16 * 512);
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);  // a%2Fb: skipped
  EXPECT_EQ(readFile(dir / "a%2Fb/in.txt"), "AAAA");
  EXPECT_FALSE(exists(dir / "a%2Fb/old.txt"));
  if (DISCSHELL_HAVE_CHECKSUMS) {
    EXPECT_EQ(runTool({"-c", "m", "image.iso"}, "", dir.path()).output,
              "63c1dd951ffedf6f7fd968ad4efa39b8ed584f162f46e715114ee184f8de9201  a%2Fb/in.txt\n");
  }
  writeFile(dir / "a%2Fb/in.txt", "CCCC");
  EXPECT_EQ(runTool({"-c", "u", "image.iso"}, "", dir.path()).output,
            "a/b/in.txt: 4 bytes into 1 copy\nNew ISO written to output.iso\n");
  writeFile(dir / "a%2Fb/in.txt", "CCC");
  EXPECT_EQ(runTool({"-c", "r", "image.iso"}, "", dir.path()).output,
            "a/b/in.txt: 3 bytes into 1 copy\nNew ISO written to output.iso\n");
  writeFile(dir / "a%2Fb/in.txt", "AAAA");
  // i adds to a/b, where e and n then find the new entry; the literal has none.
  writeFile(dir / "a%2Fb/new.txt", "new");
  const RunResult edits = runTool({"image.iso"},
                                  "i a%2Fb/new.txt\nc a%2Fb\ne new.txt\nc ..\nc a/b\n"
                                  "n new.txt newer.txt\ne newer.txt\ni\n",
                                  dir.path());
  EXPECT_EQ(edits.output, summary(8192, 512, 512) +
                              "?>?>Entering a%2Fb:\n?>File not found.\n?>?>Entering a/b:\n?>?>?>"
                              "a/b/new.txt: added, 3 bytes\na/b/new.txt: renamed to newer.txt\n"
                              "a/b/newer.txt: erased\n?>3 changes were not written.\nExiting...\n");
}

TEST(LocalNames, UAndRNameLocalFilesThatNoEntryMeansAndAddNothing) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  std::filesystem::remove(dir / "hello.txt");
  writeFile(dir / "new.txt", "new");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "logs/new"));
  writeFile(dir / "logs/new/inner", "not listed: its directory is");
  writeFile(dir / "output.iso", "an earlier output, not listed");
  for (const char* command : {"u", "r"}) {
    const RunResult run = runTool({"-c", command, "demo.iso"}, "", dir.path());
    EXPECT_EQ(sortedLines(run.output),
              (std::vector<std::string>{"Nothing to replace: every local file matches the image.",
                                        "logs/new/: no entry in the image; not added.",
                                        "new.txt: no entry in the image; not added."}));
    EXPECT_EQ(run.status, 0);
  }
  // Only the folders of the tree walked are looked at.
  EXPECT_EQ(runTool({"-c", "u logs", "demo.iso"}, "", dir.path()).output,
            "logs/new/: no entry in the image; not added.\n"
            "Nothing to replace: every local file matches the image.\n");
  for (int i = 0; i < 25; ++i) writeFile(dir / "docs/extra" + std::to_string(i), "");
  const RunResult many = runTool({"-c", "u docs", "demo.iso"}, "", dir.path());
  const std::vector<std::string> lines = sortedLines(many.output);
  ASSERT_EQ(lines.size(), 22u);
  EXPECT_EQ(lines[0], "... and 5 more with no entry in the image.");
  EXPECT_EQ(lines[1], "Nothing to replace: every local file matches the image.");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("docs/extra") &&
                                   line.ends_with(": no entry in the image; not added.");
                          }),
            20);
}

// A folder that takes names in any case as one file: here on Windows; on
// Linux a casefolded ext4 folder, where root may make one.
class CaseFoldingFolder {
 public:
  explicit CaseFoldingFolder(const ScratchDir& dir) : dir_(dir) {
    if (kWindows) {
      path_ = dir.path();
      return;
    }
    const std::string image = dir / "ext4.img";
    const std::string mount = dir / "mnt";
    std::filesystem::create_directory(mount);
    writeFile(image, "");
    std::filesystem::resize_file(image, 8 << 20);
    mounted_ = std::system(("mkfs.ext4 -q -F -O casefold '" + image + "' >/dev/null 2>&1 && " +
                            "mount -o loop '" + image + "' '" + mount + "' >/dev/null 2>&1")
                               .c_str()) == 0;
    if (mounted_ &&
        std::system(("mkdir '" + mount + "/cf' && chattr +F '" + mount + "/cf'").c_str()) == 0) {
      path_ = mount + "/cf";
    }
  }
  ~CaseFoldingFolder() {
    if (mounted_) static_cast<void>(std::system(("umount '" + dir_ / "mnt" + "'").c_str()));
  }
  /// Empty when none could be made.
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  const ScratchDir& dir_;
  bool mounted_ = false;
  std::string path_;
};

TEST(LocalNames, NamesAFolderTakesAsOneFileAreExtractedOnceAndNeverShareIt) {
  ScratchDir dir;
  if (!platform::Directory::open(dir.path())->foldsCase()) {
    // Where names in each case are files of their own, each entry has one.
    ImageBuilder plain(512);
    plain.header(16, 1);
    plain.directory(1, {{"README.txt", "TEXT", 5, 10}, {"readme.txt", "TEXT", 5, 10}});
    plain.resize(16 * 512);
    plain.save(dir / "plain.iso");
    EXPECT_EQ(runTool({"-c", "x", "plain.iso"}, "", dir.path()).status, 0);
    EXPECT_EQ(listNames(dir.path()),
              (std::vector<std::string>{"README.txt", "plain.iso", "readme.txt"}));
  }
  const CaseFoldingFolder folder(dir);
  if (folder.path().empty()) {
    GTEST_SKIP() << "no casefolded folder: mkfs.ext4 -O casefold, a loop mount and chattr +F "
                    "need root and a kernel with Unicode casefolding";
  }
  const auto local = platform::Directory::open(folder.path());
  ASSERT_TRUE(local.has_value());
  if (!local->foldsCase()) GTEST_SKIP() << "this build cannot tell that a folder folds case";
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"README.txt", "TEXT", 5, 10},
                      {"ok", "TEXT", 2, 11},
                      {"readme.txt", "TEXT", 6, 12},
                      {"Sub", "DIR", 512, 2},
                      {"sub", "DIR", 512, 3}});
  image.directory(2, {{"in", "TEXT", 2, 11}});
  image.directory(3, {{"in", "TEXT", 2, 12}});
  image.data(10, "upper");
  image.data(11, "ok");
  image.data(12, "lower!");
  image.resize(16 * 512);
  image.save(folder.path() + "/image.iso");
  // Each later name is said and counted as skipped, which fails nothing:
  // a batch goes on to its next command.
  const std::string taken = "its name is the same file as ";
  const RunResult x = runTool({"-c", "x", "-c", "u", "image.iso"}, "", folder.path());
  EXPECT_EQ(x.output,
            "README.txt\nok\nSub/in\nExtracted 3 files and 1 directory, 9 bytes; "
            "2 skipped: a name this folder takes as another; 0 failures.\n"
            // Nothing edited: nothing to write, and never README.txt's bytes into readme.txt.
            "Nothing to replace: every local file matches the image.\n");
  EXPECT_EQ(x.errors, batchErrors("-c 1", "readme.txt: " + taken +
                                              "README.txt here; not extracted.\n"
                                              "sub: " +
                                              taken + "Sub here; not extracted.\n"));
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(readFile(folder.path() + "/readme.txt"), "upper");
  writeFile(folder.path() + "/README.TXT", "UPPER");
  EXPECT_EQ(runTool({"-c", "r", "image.iso"}, "", folder.path()).output,
            "README.txt: 5 bytes into 1 copy\nNew ISO written to output.iso\n");
  if (!DISCSHELL_HAVE_CHECKSUMS) return;
  const RunResult m = runTool({"-c", "m", "image.iso"}, "", folder.path());
  EXPECT_EQ(sortedLines(m.output).size(), 3u);
  EXPECT_EQ(m.errors, x.errors);
  EXPECT_EQ(m.status, 0);
}

}  // namespace
}  // namespace discshell::testing
