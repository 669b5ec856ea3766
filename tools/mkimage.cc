// discshell-mkimage: writes the images the demo and the benchmark use.
//
//   discshell-mkimage demo PATH
//   discshell-mkimage one-entry PATH DATA-MIB        one entry at block 16, data to the end
//   discshell-mkimage many PATH COUNT ENTRY-BYTES     a root of COUNT entries of that size
//   discshell-mkimage wide PATH COUNT                 COUNT empty entries, block size 2048
//   discshell-mkimage tree PATH DIRS FILES ENTRY-BYTES  a root of DIRS directories of FILES
//                                                     entries each (0 bytes: all share a block)
//
// The benchmark fills the data region itself; this writes only the volume's
// structure and extends the file to its full length.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/image_builder.h"

namespace {

using discshell::tools::EntrySpec;
using discshell::tools::ImageBuilder;

void saveWithLength(const ImageBuilder& image, const std::string& path, std::int64_t length) {
  image.save(path);
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(length));
}

// The entries of a large directory, and how many blocks they need.
std::int32_t directoryBlocks(std::int32_t blockSize, std::int64_t count) {
  const std::int64_t perBlock = (blockSize - 20 - 72) / 72 + 1;
  return static_cast<std::int32_t>((count + perBlock - 1) / perBlock);
}

constexpr std::int32_t kBlockSize = 2048;

int build(const std::string& kind, const std::string& path, long a, long b, long c) {
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
  if (kind == "many" || kind == "wide" || kind == "tree") {
    // many and wide are a tree without subdirectories.
    const bool tree = kind == "tree";
    const long directories = tree ? a : 0;
    const long files = tree ? b : a;
    const std::int32_t entryBytes = kind == "wide" ? 0 : static_cast<std::int32_t>(tree ? c : b);
    const std::int32_t rootBlocks = directoryBlocks(kBlockSize, tree ? directories : files);
    const std::int32_t subBlocks = directoryBlocks(kBlockSize, files);
    std::int32_t nextBlock = 1 + rootBlocks + static_cast<std::int32_t>(directories) * subBlocks;
    ImageBuilder image(kBlockSize);
    const auto fileEntries = [&] {
      std::vector<EntrySpec> entries;
      const std::int32_t blocks = (entryBytes + kBlockSize - 1) / kBlockSize;
      for (long i = 0; i < files; ++i, nextBlock += blocks) {
        entries.push_back({"file" + std::to_string(i), "DATA", entryBytes, std::max(nextBlock, 1)});
      }
      return entries;
    };
    std::vector<EntrySpec> root;
    for (long i = 0; i < directories; ++i) {
      const std::int32_t first = 1 + rootBlocks + static_cast<std::int32_t>(i) * subBlocks;
      image.directory(first, fileEntries(), subBlocks);
      root.push_back({"dir" + std::to_string(i), "DIR", subBlocks * kBlockSize, first});
    }
    image.directory(1, tree ? root : fileEntries(), rootBlocks);
    image.header(nextBlock, 1);
    saveWithLength(image, path, std::int64_t{nextBlock} * kBlockSize);
    return 0;
  }
  std::cerr << "unknown image kind: " << kind << '\n';
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: discshell-mkimage demo|one-entry|many|wide|tree PATH [N]...\n";
    return 2;
  }
  try {
    const auto number = [&](int i) { return argc > i ? std::atol(argv[i]) : 0; };
    return build(argv[1], argv[2], number(3), number(4), number(5));
  } catch (const std::exception& error) {
    std::cerr << "discshell-mkimage: " << error.what() << '\n';
    return 1;
  }
}
