// discshell-mkimage: writes the images the demo and the benchmark use.
//
//   discshell-mkimage demo PATH
//   discshell-mkimage one-entry PATH DATA-MIB        one entry at block 16, data to the end
//   discshell-mkimage many PATH COUNT ENTRY-BYTES     a root of COUNT entries of that size
//   discshell-mkimage wide PATH COUNT                 COUNT empty entries, block size 2048
//
// The benchmark fills the data region itself; this writes only the volume's
// structure and extends the file to its full length.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/image_builder.h"

namespace {

using discshell::tools::EntrySpec;
using discshell::tools::ImageBuilder;

void saveWithLength(const ImageBuilder& image, const std::string& path, std::int64_t length) {
  image.save(path);
  if (::truncate(path.c_str(), length) != 0) throw std::runtime_error("cannot extend " + path);
}

// The entries of a large directory, and how many blocks they need.
std::int32_t directoryBlocks(std::int32_t blockSize, std::int64_t count) {
  const std::int64_t perBlock = (blockSize - 20 - 72) / 72 + 1;
  return static_cast<std::int32_t>((count + perBlock - 1) / perBlock);
}

int build(const std::string& kind, const std::string& path, long a, long b) {
  if (kind == "demo") {
    discshell::tools::demoImage().save(path);
    return 0;
  }
  if (kind == "one-entry") {
    const std::int64_t dataBytes = std::int64_t{a} << 20;
    ImageBuilder image(2048);
    image.header(static_cast<std::int32_t>(16 + dataBytes / 2048), 1);
    image.directory(1, {{"payload.bin", "DATA", static_cast<std::int32_t>(dataBytes), 16}});
    saveWithLength(image, path, 16 * 2048 + dataBytes);
    return 0;
  }
  if (kind == "many" || kind == "wide") {
    const std::int32_t blockSize = 2048;
    const std::int32_t entryBytes = kind == "many" ? static_cast<std::int32_t>(b) : 0;
    const std::int32_t dirBlocks = directoryBlocks(blockSize, a);
    const std::int32_t perEntryBlocks = (entryBytes + blockSize - 1) / blockSize;
    std::vector<EntrySpec> entries;
    for (long i = 0; i < a; ++i) {
      entries.push_back({std::string("file").append(std::to_string(i)), "DATA", entryBytes,
                         static_cast<std::int32_t>(1 + dirBlocks + i * perEntryBlocks)});
    }
    ImageBuilder image(blockSize);
    const std::int64_t blocks = 1 + dirBlocks + a * perEntryBlocks;
    image.header(static_cast<std::int32_t>(blocks), 1);
    image.directory(1, entries, dirBlocks);
    saveWithLength(image, path, blocks * blockSize);
    return 0;
  }
  std::cerr << "unknown image kind: " << kind << '\n';
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: discshell-mkimage demo|one-entry|many|wide PATH [N] [M]\n";
    return 2;
  }
  try {
    return build(argv[1], argv[2], argc > 3 ? std::atol(argv[3]) : 0,
                 argc > 4 ? std::atol(argv[4]) : 0);
  } catch (const std::exception& error) {
    std::cerr << "discshell-mkimage: " << error.what() << '\n';
    return 1;
  }
}
