// Copying entries out with g and a, in whole sessions of the built tool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

constexpr std::int32_t kImageLength = 16 * 512;

ImageBuilder extractionVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, "Hello, world!\n");
  image.data(6, "one");
  image.data(7, "two");
  image.data(15, std::string(512, 'z'));
  image.directory(1, {
                         {"hello.txt", "TEXT", 14, 4},
                         {"empty", "TEXT", 0, 5},
                         {"dup", "TEXT", 3, 6},
                         {"dup", "TEXT", 3, 7},
                         {"zero", "TEXT", 8, 0},
                         {"sub", "DIR", 512, 3},
                         {"long", "DATA", 1000, 15},
                         {"before", "DATA", 10, -1},
                         {"negative", "DATA", -5, 4},
                     });
  image.directory(3, {{"inner.txt", "TEXT", 5, 9}});
  image.resize(kImageLength);
  return image;
}

std::string imageBytes(const ImageBuilder& image, std::size_t from, std::size_t count) {
  return std::string(image.bytes().begin() + static_cast<long>(from),
                     image.bytes().begin() + static_cast<long>(from + count));
}

unsigned permissions(const std::string& path) {
  return static_cast<unsigned>(std::filesystem::status(path).permissions());
}

TEST(GetFile, CopiesTheFirstEntryOfThatNameToALocalFile) {
  ScratchDir dir;
  writeFile(dir / "dup", "an older, longer file");
  // Replaced, not followed (where links can be made).
  (void)makeSymbolicLink("nowhere", dir / "empty");
  const RunResult run = runOnImage(
      extractionVolume(), "g hello.txt\ng empty\ng dup\ng dup\ng zero\ng missing\ng sub\nq\n", dir);
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>?>?>?>?>File not found.\n?>File not found.\n?>?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "hello.txt"), "Hello, world!\n");
  EXPECT_EQ(readFile(dir / "empty"), "");
  EXPECT_EQ(readFile(dir / "dup"), "one");
  EXPECT_EQ(readFile(dir / "sub"), imageBytes(extractionVolume(), 1536, 512));
  EXPECT_EQ(listNames(dir.path()),
            (std::vector<std::string>{"dup", "empty", "hello.txt", "image.iso", "sub"}));
}

TEST(GetFile, GivesANewFileTheUmasksBitsAndAReplacedOneItsOwn) {
  if (kWindows) GTEST_SKIP() << "Windows files have no permission bits";
  ScratchDir dir;
  writeFile(dir / "dup", "an older, longer file");
  std::filesystem::permissions(dir / "dup", std::filesystem::perms{0600});
  const auto mask = ::umask(002);  // a new file gets 0666 less this; dup stays 0600
  const RunResult run = runOnImage(extractionVolume(), "g hello.txt\ng dup\nq\n", dir);
  ::umask(mask);
  EXPECT_EQ(run.output, summary(8192, 512, 512) + "?>?>?>Exiting...\n");
  EXPECT_EQ(permissions(dir / "hello.txt"), 0664u);
  EXPECT_EQ(permissions(dir / "dup"), 0600u);
}

TEST(GetFile, WritesTheBytesThatExistWhenTheImageEndsEarly) {
  ScratchDir dir;
  const RunResult run = runOnImage(extractionVolume(), "g long\ng before\nq\n", dir);
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>Image ends early: 512 of 1000 bytes written.\n"
                            "?>Image ends early: 0 of 10 bytes written.\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "long"), std::string(512, 'z'));
  EXPECT_EQ(readFile(dir / "before"), "");
  // x counts the bytes it wrote, also of a file the image cut short.
  std::filesystem::remove(dir / "long");
  EXPECT_EQ(runTool({"-c", "x long", "image.iso"}, "", dir.path()).output,
            "Extracted 0 files and 0 directories, 512 bytes; 1 failure.\n");
}

// x keeps a local file that holds other bytes than its entry, also one that
// only has more after them, and says so as news, not as a failure; a local
// directory where a file belongs is a failure.
TEST(ExtractTree, KeepsEditsAsNewsAndFailsWhereItCannotWrite) {
  ScratchDir dir;
  extractionVolume().save(dir / "image.iso");
  writeFile(dir / "hello.txt", "Hello, world!\nand more");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "empty"));
  const RunResult run =
      runTool({"-c", "x hello.txt", "-c", "x dup", "-c", "x empty", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "hello.txt: Local file differs from the image; kept.\n"
            "Extracted 0 files and 0 directories, 0 bytes; 1 kept, 0 failures.\n"
            "dup\nExtracted 1 file and 0 directories, 3 bytes; 0 failures.\n"
            "Extracted 0 files and 0 directories, 0 bytes; 1 failure.\n");
  EXPECT_EQ(run.errors, batchErrors("-c 3", "empty: Could not write local file.\n"));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(readFile(dir / "hello.txt"), "Hello, world!\nand more");
}

TEST(SaveAll, SavesEveryEntryAsAPlainFileAndReportsEachOne) {
  ScratchDir dir;
  const ImageBuilder image = extractionVolume();
  const RunResult run = runOnImage(image, "a\nq\n", dir);
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>\nSaving all files in directory...\n\n"
                            "hello.txt...\nempty...\ndup...\ndup...\nzero...\nsub...\n"
                            "long...\nImage ends early: 512 of 1000 bytes written.\n"
                            "before...\nImage ends early: 0 of 10 bytes written.\n"
                            "negative...\nInvalid entry size.\n"
                            "\nDone.\n\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "dup"), "two");                     // the second overwrites the first
  EXPECT_EQ(readFile(dir / "zero"), imageBytes(image, 0, 8));  // block 0: the volume's start
  EXPECT_EQ(readFile(dir / "sub"), imageBytes(image, 1536, 512));
  EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"before", "dup", "empty", "hello.txt",
                                                             "image.iso", "long", "sub", "zero"}));
}

// Names from a hostile image: each refusal is reported, the others go on.
ImageBuilder hostileVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, "data");
  image.directory(1, {
                         {"", "TEXT", -1, 4},  // unsafe, whatever its size
                         {".", "TEXT", 4, 4},
                         {"..", "TEXT", 4, 4},
                         {"../escape", "TEXT", 4, 4},
                         {"./image.iso", "TEXT", 4, 4},  // escaped: not the image
                         {"image.iso", "TEXT", -1, 4},
                         {"soft.iso", "TEXT", 4, 4},
                         {"hard.iso", "TEXT", 4, 4},
                         {"busy", "TEXT", -3, 4},
                         {"ok", "TEXT", 4, 4},
                     });
  image.resize(kImageLength);
  return image;
}

TEST(SaveAll, EscapesNamesThatCannotStandAndRefusesTheImageItself) {
  ScratchDir dir;
  const ImageBuilder image = hostileVolume();
  image.save(dir / "image.iso");
  if (!makeSymbolicLink("image.iso", dir / "soft.iso")) GTEST_SKIP() << kNoSymbolicLinks;
  std::filesystem::create_hard_link(dir / "image.iso", dir / "hard.iso");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "busy"));
  const RunResult run = runTool({"image.iso"}, "a\nq\n", dir.path());
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>\nSaving all files in directory...\n\n"
                            "...\nUnsafe local file name.\n"
                            "....\n.: written as %2E.\n"
                            ".....\n..: written as %2E%2E.\n"
                            "../escape...\n../escape: written as ..%2Fescape.\n"
                            "./image.iso...\n./image.iso: written as .%2Fimage.iso.\n"
                            "image.iso...\nLocal file would overwrite the image.\n"
                            "soft.iso...\nLocal file would overwrite the image.\n"
                            "hard.iso...\nLocal file would overwrite the image.\n"
                            "busy...\nInvalid entry size.\n"
                            "ok...\n"
                            "\nDone.\n\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "image.iso"), imageBytes(image, 0, kImageLength));
  EXPECT_EQ(readFile(dir / "ok"), "data");
  EXPECT_FALSE(exists(dir.path() + "/../escape"));
  EXPECT_EQ(listNames(dir.path()),
            (std::vector<std::string>{"%2E", "%2E%2E", ".%2Fimage.iso", "..%2Fescape", "busy",
                                      "hard.iso", "image.iso", "ok", "soft.iso"}));
}

// A folder on a file system of 256 KiB, which root may mount; empty when
// none could be made.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const ScratchDir& dir) : path_(dir / "small") {
    std::filesystem::create_directory(path_);
    mounted_ =
        !kWindows &&
        std::system(
            ("mount -t tmpfs -o size=256k tmpfs '" + path_ + "' >/dev/null 2>&1").c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) static_cast<void>(std::system(("umount '" + path_ + "'").c_str()));
  }
  [[nodiscard]] bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// On a full disk x names the reason once and stops, counting the files it
// did not write, instead of failing on each of them.
TEST(ExtractTree, StopsAtTheFirstWriteThatFindsNoRoom) {
  ScratchDir dir;
  const SmallFileSystem small(dir);
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root (and Linux)";
  ImageBuilder image(512);
  image.header(300, 1);
  std::vector<tools::EntrySpec> files;
  for (int i = 0; i < 10; ++i) files.push_back({"f" + std::to_string(i), "DATA", 64 << 10, 10});
  image.directory(1, {{"a", "DIR", 1024, 2}, {"b", "DIR", 1024, 4}});
  image.directory(2, files, 2);
  image.directory(4, files, 2);
  image.resize(300 * 512);
  image.save(dir / "image.iso");
  const RunResult run = runTool({"-C", "small", "-c", "x", "image.iso"}, "", dir.path());
  const std::string stopped = "discshell: -c 1: x stopped: No space left on device; ";
  ASSERT_TRUE(run.errors.starts_with(stopped)) << run.errors;
  EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << "one line";
  const int notWritten = std::atoi(run.errors.c_str() + stopped.size());
  const int written = std::atoi(run.output.c_str() + run.output.rfind("Extracted ") + 10);
  EXPECT_GT(notWritten, 0);
  EXPECT_GT(written, 0);
  EXPECT_EQ(notWritten + written, 20);
  EXPECT_TRUE(run.output.ends_with("; 1 failure.\n")) << run.output;
  EXPECT_EQ(run.status, 2);
}

TEST(GetFile, LeavesAnEarlierFileIntactWhenTheLocalFileCannotBeWritten) {
  ScratchDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "hello.txt"));
  writeFile(dir / "dup", "old");
  const RunResult run = runOnImage(extractionVolume(), "g hello.txt\ng negative\nq\n", dir);
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>Could not write local file.\n?>Invalid entry size.\n?>Exiting...\n");

  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to make a write fail";
  // A file-size limit of 2 bytes makes every write of more fail half-way.
  ToolOptions limit;
  limit.fileSizeLimit = 2;
  const RunResult limited = runTool({"image.iso"}, "g dup\nq\n", dir.path(), limit);
  EXPECT_EQ(limited.output,
            summary(8192, 512, 512) + "?>Could not write local file.\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "dup"), "old");
  EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"dup", "hello.txt", "image.iso"}));
}

TEST(GetFile, CannotCreateFilesInADirectoryItMayNotWrite) {
  if (kWindows) GTEST_SKIP() << "Windows has no user nobody to run as";
  ScratchDir dir;
  hostileVolume().save(dir / "image.iso");
  std::filesystem::permissions(dir.path(), std::filesystem::perms{0555});
  ToolOptions unprivileged;
  unprivileged.asNobody = true;  // root may write anywhere
  const RunResult run = runTool({"image.iso"}, "g ok\ng ..\nq\n", dir.path(), unprivileged);
  std::filesystem::permissions(dir.path(), std::filesystem::perms{0755});
  if (run.status == kCannotExecute) GTEST_SKIP() << "the user nobody may not run the tool here";
  // An escaped name not written is not said to be written as anything.
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>Could not write local file.\n?>Could not write local file.\n"
                            "?>Exiting...\n");
  EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{"image.iso"});
}

}  // namespace
}  // namespace discshell::testing
