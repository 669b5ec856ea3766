// discshell-mkimage: writes the images the demo and the benchmark use.
//
//   discshell-mkimage demo PATH
//   discshell-mkimage one-entry PATH DATA-MIB        one entry at block 16, data to the end
//   discshell-mkimage many PATH COUNT ENTRY-BYTES     a root of COUNT entries of that size
//   discshell-mkimage wide PATH COUNT                 COUNT empty entries, block size 2048
//   discshell-mkimage tree PATH DIRS FILES ENTRY-BYTES  a root of DIRS directories of FILES
//                                                     entries each (0 bytes: all share a block)
//   discshell-mkimage self PATH COUNT                 a root of COUNT entries that all lead back
//                                                     to it, each with a byte count of its own
//   discshell-mkimage flat PATH COUNT                 a root of COUNT empty files, each with a
//                                                     start block of its own
//   discshell-mkimage copies PATH COUNT               one 1-byte entry with COUNT copies, all of
//                                                     one block (blocks of 512 KiB hold the list)
//   discshell-mkimage twocopies PATH COUNT ENTRY-BYTES a root of COUNT entries of two copies:
//                                                     all copies 0 first, then all copies 1
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
#include "volume/layout.h"

namespace {

using discshell::tools::EntrySpec;
using discshell::tools::ImageBuilder;

void saveWithLength(const ImageBuilder& image, const std::string& path, std::int64_t length) {
  image.save(path);
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(length));
}

// The entries of a large directory, and how many blocks they need: a block
// takes another entry while 72 bytes would remain behind it.
std::int32_t directoryBlocks(std::int32_t blockSize, std::int64_t count,
                             std::int64_t entryBytes = discshell::layout::kMinEntrySize) {
  const std::int64_t perBlock =
      (blockSize - discshell::layout::kBlockHeaderSize - discshell::layout::kMinEntrySize) /
          entryBytes +
      1;
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
  if (kind == "self" || kind == "flat") {
    // Whole blocks, none smaller than the root; or no bytes at all.
    const std::int32_t rootBlocks = directoryBlocks(kBlockSize, a);
    std::vector<EntrySpec> entries;
    for (long i = 0; i < a; ++i) {
      const auto n = static_cast<std::int32_t>(i);
      entries.push_back(
          kind == "self"
              ? EntrySpec{"self" + std::to_string(i), "DIR", (rootBlocks + n) * kBlockSize, 1}
              : EntrySpec{"file" + std::to_string(i), "DATA", 0, rootBlocks + 1 + n});
    }
    ImageBuilder image(kBlockSize);
    image.directory(1, entries, rootBlocks);
    image.header(1 + rootBlocks, 1);
    saveWithLength(image, path, std::int64_t{1 + rootBlocks} * kBlockSize);
    return 0;
  }
  if (kind == "copies") {
    constexpr std::int32_t kListBlockSize = 512 * 1024;  // room for about 130,000 copy numbers
    ImageBuilder image(kListBlockSize);
    image.header(3, 1);
    const auto records = image.directory(
        1, {{"many", "DATA", 1, 2, static_cast<std::int32_t>(std::max(a, 1L) - 1)}});
    for (long i = 1; i < a; ++i) image.poke32(records[0] + 68 + 4 * i, 2);
    image.data(2, "a");
    saveWithLength(image, path, 3 * kListBlockSize);
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
  if (kind == "twocopies") {
    const std::int32_t entryBytes = static_cast<std::int32_t>(b);
    const std::int32_t blocks = (entryBytes + kBlockSize - 1) / kBlockSize;
    const std::int32_t rootBlocks =
        directoryBlocks(kBlockSize, a, discshell::layout::kMinEntrySize + 4);
    const std::int32_t firstCopies = 1 + rootBlocks;
    const std::int32_t secondCopies = firstCopies + static_cast<std::int32_t>(a) * blocks;
    ImageBuilder image(kBlockSize);
    std::vector<EntrySpec> entries;
    for (long i = 0; i < a; ++i) {
      entries.push_back({"file" + std::to_string(i), "DATA", entryBytes,
                         firstCopies + static_cast<std::int32_t>(i) * blocks, 1});
    }
    const auto positions = image.directory(1, entries, rootBlocks);
    for (long i = 0; i < a; ++i) {
      image.furtherCopies(positions[static_cast<std::size_t>(i)],
                          {secondCopies + static_cast<std::int32_t>(i) * blocks});
    }
    const std::int32_t blockCount = secondCopies + static_cast<std::int32_t>(a) * blocks;
    image.header(blockCount, 1);
    saveWithLength(image, path, std::int64_t{blockCount} * kBlockSize);
    return 0;
  }
  std::cerr << "unknown image kind: " << kind << '\n';
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr
        << "usage: discshell-mkimage demo|one-entry|many|wide|tree|self|flat|copies|twocopies "
           "PATH [N]...\n";
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
