#include <string>

#include "tools/image_builder.h"

namespace discshell::tools {
namespace {

constexpr std::int32_t kBlockSize = 512;
constexpr std::int32_t kBlockCount = 64;

struct DemoFile {
  const char* name;
  std::int32_t block;
  const char* text;
};

EntrySpec fileEntry(ImageBuilder& image, const DemoFile& file) {
  const std::string text = file.text;
  image.data(file.block, text);
  return {file.name, "TEXT", static_cast<std::int32_t>(text.size()), file.block};
}

}  // namespace

ImageBuilder demoImage() {
  ImageBuilder image(kBlockSize);
  image.header(kBlockCount, 1);

  // Root (block 1): two files and two directories.
  image.directory(
      1, {
             fileEntry(image, {"README", 20,
                               "Welcome to the demo volume.\nTry: l, c docs, g README, q\n"}),
             fileEntry(image, {"hello.txt", 21, "Hello, world!\n"}),
             {"docs", "DIR", kBlockSize, 2},
             {"logs", "DIR", 3 * kBlockSize, 4},
         });
  // docs (block 2) holds a file and a nested directory (block 3).
  image.directory(
      2, {
             fileEntry(image, {"guide.txt", 22, "c NAME enters a directory, c .. leaves it.\n"}),
             {"archive", "DIR", kBlockSize, 3},
         });
  image.directory(3, {fileEntry(image, {"old-notes.txt", 23, "Nothing to see here.\n"})});

  // logs (blocks 4 to 6): sixteen entries, so the walk crosses two block boundaries.
  std::vector<EntrySpec> logs;
  for (int day = 1; day <= 16; ++day) {
    const std::string name =
        "day" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".log";
    const std::string text = "Day " + std::to_string(day) + ": all quiet.\n";
    image.data(23 + day, text);
    logs.push_back({name, "TEXT", static_cast<std::int32_t>(text.size()), 23 + day});
  }
  image.directory(4, logs, 3);
  image.resize(std::int64_t{kBlockCount} * kBlockSize);
  return image;
}

}  // namespace discshell::tools
