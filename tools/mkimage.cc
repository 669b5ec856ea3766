// discshell-mkimage: writes the images the demo and the benchmark use.
//
//   discshell-mkimage demo PATH
//   discshell-mkimage one-entry PATH DATA-MIB        one entry at block 16, data to the end
//   discshell-mkimage many PATH COUNT ENTRY-BYTES     a root of COUNT entries of that size
//   discshell-mkimage wide PATH COUNT                 COUNT empty entries, block size 2048
//   discshell-mkimage fuzz-seeds DIRECTORY            the fuzzer's seed corpus
//
// The benchmark fills the data region itself; this writes only the volume's
// structure and extends the file to its full length.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "fuzz/fuzz_input.h"
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

std::string asString(const ImageBuilder& image) {
  return std::string(image.bytes().begin(), image.bytes().end());
}

// A small volume (block size 128) with a nested directory, a directory of
// three blocks, and a directory that contains itself.
ImageBuilder seedVolume(std::int32_t volumeOffset) {
  ImageBuilder image(128, volumeOffset);
  image.header(40, 1);
  image.data(30, "alpha\n");
  image.data(31, "beta beta\n");
  image.directory(1, {{"alpha", "TEXT", 6, 30},
                      {"sub", "DIR", 384, 5},
                      {"self", "DIR", 128, 1},
                      {"beta", "TEXT", 10, 31}});
  std::vector<EntrySpec> many;
  for (int i = 0; i < 5; ++i)
    many.push_back({std::string("f").append(std::to_string(i)), "TEXT", 6, 30});
  image.directory(5, many, 3);
  image.resize(40 * 128 + volumeOffset);
  return image;
}

void writeSeeds(const std::string& directory) {
  const std::string everything =
      "l\nd\nc sub\nl\na\nc ..\nc self\nc ..\ng alpha\nw alpha\ng beta\nw beta\n"
      "x\n\nc\ng\nw\nc missing\nq\n";
  std::vector<std::pair<std::string, std::string>> seeds = {
      {"demo", discshell::fuzz::joinInput(
                   "l\nc logs\nd\ng day01.log\na\nc ..\nc docs\nc archive\nl\nc ..\nc ..\n"
                   "g README\nw README\nq\n",
                   asString(discshell::tools::demoImage()))},
      {"small", discshell::fuzz::joinInput(everything, asString(seedVolume(0)))},
      {"offset",
       discshell::fuzz::joinInput("@0x10\n" + everything, asString(seedVolume(16)), true)},
  };
  // Damaged volumes: each breaks one field of the small one.
  const std::vector<std::pair<std::string, std::pair<std::int64_t, std::int32_t>>> damage = {
      {"k-minus-18", {128 + 20 + 64, -18}},
      {"k-huge", {128 + 20 + 64, 0x3FFFFFFF}},
      {"start-negative", {128 + 20 + 68, -5}},
      {"start-huge", {128 + 20 + 68, 0x7FFFFFF0}},
      {"block-size-0", {76, 0}},
      {"block-size-negative", {76, -128}},
      {"count-negative", {128 + 20 + 16, -1}},
      {"root-negative", {100, -1}},
  };
  for (const auto& [name, poke] : damage) {
    ImageBuilder image = seedVolume(0);
    image.poke32(poke.first, poke.second);
    seeds.push_back({name, discshell::fuzz::joinInput(everything, asString(image))});
  }
  ImageBuilder truncated = seedVolume(0);
  truncated.resize(300);
  seeds.push_back({"truncated", discshell::fuzz::joinInput(everything, asString(truncated))});
  for (const auto& [name, bytes] : seeds) {
    std::ofstream file(directory + "/" + name, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file.flush()) throw std::runtime_error("cannot write seed " + name);
  }
}

int build(const std::string& kind, const std::string& path, long a, long b) {
  if (kind == "fuzz-seeds") {
    writeSeeds(path);
    return 0;
  }
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
