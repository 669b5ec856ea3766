// Writing the patched image with w, in whole sessions of the built tool.
#include <gtest/gtest.h>

#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

constexpr std::size_t kImageLength = 16 * 512;
const std::string kSummary = summary(8192, 512, 512);
const std::string kWritten = "New ISO written to output.iso\n";
const std::string kUnknown = "Unknown error.\n";

ImageBuilder replacementVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, std::string(100, 'A'));
  image.data(15, std::string(512, 'E'));
  image.directory(1, {
                         {"patch.bin", "DATA", 100, 4},
                         {"tail.bin", "DATA", 512, 15},
                         {"past.bin", "DATA", 1000, 15},
                         {"sub", "DIR", 512, 3},
                         {"zero", "DATA", 10, 0},
                         {"before", "DATA", 10, -1},
                         {"beyond", "DATA", 10, 100},
                         {"huge", "DATA", 0x7FFFFFFF, 5},
                         {"end", "DATA", 0, 16},  // starts where the image ends
                     });
  image.directory(3, {{"inner.txt", "TEXT", 5, 9}});
  image.resize(kImageLength);
  return image;
}

std::string original() {
  const ImageBuilder image = replacementVolume();
  return std::string(image.bytes().begin(), image.bytes().end());
}

std::string patched(std::size_t position, const std::string& replacement) {
  std::string bytes = original();
  bytes.replace(position, replacement.size(), replacement);
  return bytes;
}

std::string progress(int position, int replacementLength) {
  return "ISO Length: 8192, Address: " + std::to_string(position) +
         ", Replacement Length: " + std::to_string(replacementLength) +
         ".\nLeft to go: " + std::to_string(8192 - position - replacementLength) + " bytes";
}

// Runs a script on the volume, then checks that the image was not touched.
RunResult run(const ScratchDir& dir, const std::string& script, const ToolOptions& options = {}) {
  if (!exists(dir / "image.iso")) replacementVolume().save(dir / "image.iso");
  const RunResult result = runTool({"image.iso"}, script, dir.path(), options);
  EXPECT_TRUE(readFile(dir / "image.iso") == original()) << "the image changed";
  return result;
}

TEST(WritePatchedImage, OverwritesTheEntrysBytesAndKeepsTheImagesLength) {
  ScratchDir dir;
  writeFile(dir / "patch.bin", "");
  writeFile(dir / "end", "");
  EXPECT_EQ(run(dir, "w patch.bin\nw end\nq\n").output, kSummary + "?>" + progress(2048, 0) +
                                                            kWritten + "?>" + progress(8192, 0) +
                                                            kWritten + "?>Exiting...\n");
  EXPECT_TRUE(readFile(dir / "output.iso") == original());

  writeFile(dir / "patch.bin", "short");
  EXPECT_EQ(run(dir, "w patch.bin\nq\n").output,
            kSummary + "?>" + progress(2048, 5) + kWritten + "?>Exiting...\n");
  EXPECT_TRUE(readFile(dir / "output.iso") == patched(2048, "short"));

  writeFile(dir / "patch.bin", std::string(100, 'B'));
  writeFile(dir / "tail.bin", std::string(512, 'T'));
  writeFile(dir / "sub", std::string(300, 'S'));
  // Several w commands leave only the last replacement; the output replaced keeps its mode.
  std::filesystem::permissions(dir / "output.iso", std::filesystem::perms{0751});
  EXPECT_EQ(run(dir, "w patch.bin\nw sub\nw tail.bin\nq\n").output,
            kSummary + "?>" + progress(2048, 100) + kWritten + "?>" + progress(1536, 300) +
                kWritten + "?>" + progress(7680, 512) + kWritten + "?>Exiting...\n");
  EXPECT_TRUE(readFile(dir / "output.iso") == patched(7680, std::string(512, 'T')));
  if (!kWindows) {
    EXPECT_EQ(std::filesystem::status(dir / "output.iso").permissions(),
              std::filesystem::perms{0751});
  }
  EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"end", "image.iso", "output.iso",
                                                             "patch.bin", "sub", "tail.bin"}));
}

TEST(WritePatchedImage, RefusesAndKeepsAnEarlierOutputOnEveryFailure) {
  ScratchDir dir;
  writeFile(dir / "output.iso", "the previous good output");
  writeFile(dir / "patch.bin", std::string(101, 'B'));
  writeFile(dir / "past.bin", std::string(600, 'P'));
  writeFile(dir / "before", "x");
  writeFile(dir / "beyond", "x");
  ASSERT_FALSE(exists(dir / "huge"));
  writeFile(dir / "huge", "");
  std::filesystem::resize_file(dir / "huge", std::uintmax_t{1} << 31);
  EXPECT_EQ(
      run(dir,
          "w patch.bin\nw tail.bin\nw past.bin\nw before\nw beyond\nw zero\nw huge\nw missing\nq\n")
          .output,
      kSummary + "?>Replacement file is bigger than original.  Write failed.\n" +
          "?>Could not find file on local drive.\n" +
          "?>ISO Length: 8192, Address: 7680, Replacement Length: 600.\nLeft to go: -88 bytes" +
          kUnknown + "?>" + kUnknown + "?>" + kUnknown + "?>File not found.\n" +
          "?>Replacement file is bigger than original.  Write failed.\n" +
          "?>File not found.\n?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "output.iso"), "the previous good output");

  // Positions are 32-bit: an image of 2 GiB or more is refused, not misread.
  writeFile(dir / "patch.bin", "B");
  std::filesystem::resize_file(dir / "image.iso", std::uintmax_t{1} << 31);
  EXPECT_EQ(runTool({"image.iso"}, "w patch.bin\nq\n", dir.path()).output,
            kSummary + "?>" + kUnknown + "?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "output.iso"), "the previous good output");
  EXPECT_EQ(listNames(dir.path()),
            (std::vector<std::string>{"before", "beyond", "huge", "image.iso", "output.iso",
                                      "past.bin", "patch.bin"}));

  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to make a write fail";
  // Writes that fail (here a file-size limit) also leave it as it was.
  std::filesystem::resize_file(dir / "image.iso", kImageLength);
  ToolOptions limit;
  limit.fileSizeLimit = 1000;
  EXPECT_EQ(run(dir, "w patch.bin\nq\n", limit).output,
            kSummary + "?>" + kUnknown + "?>Exiting...\n");
  EXPECT_EQ(readFile(dir / "output.iso"), "the previous good output");
}

TEST(WritePatchedImage, NeverWritesThroughAnOutputNameThatIsTheImage) {
  for (const bool symbolic : {false, true}) {
    ScratchDir dir;
    replacementVolume().save(dir / "image.iso");
    writeFile(dir / "patch.bin", "B");
    if (!symbolic) {
      std::filesystem::create_hard_link(dir / "image.iso", dir / "output.iso");
    } else if (!makeSymbolicLink("image.iso", dir / "output.iso")) {
      GTEST_SKIP() << kNoSymbolicLinks;
    }
    EXPECT_EQ(run(dir, "w patch.bin\nq\n").output,
              kSummary + "?>Could not open output file.\n?>Exiting...\n");
    EXPECT_TRUE(readFile(dir / "output.iso") == original());
  }
}

TEST(WritePatchedImage, ChecksTheLocalFileBeforeTheOutputAndRefusesDirectories) {
  ScratchDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "output.iso"));
  ASSERT_TRUE(std::filesystem::create_directory(dir / "sub"));
  writeFile(dir / "patch.bin", "B");
  EXPECT_EQ(run(dir, "w sub\nw patch.bin\nw missing.bin\nq\n").output,
            kSummary + "?>Could not find file on local drive.\n?>Could not open output file.\n" +
                "?>File not found.\n?>Exiting...\n");
  EXPECT_EQ(listNames(dir.path()),
            (std::vector<std::string>{"image.iso", "output.iso", "patch.bin", "sub"}));
}

}  // namespace
}  // namespace discshell::testing
