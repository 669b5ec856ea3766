// discshell-fuzz-seeds DIRECTORY: writes the session fuzzer's seed corpus.
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tools/image_builder.h"

namespace {

using discshell::fuzz::joinInput;
using discshell::tools::EntrySpec;
using discshell::tools::ImageBuilder;

std::string asString(const ImageBuilder& image) {
  return std::string(image.bytes().begin(), image.bytes().end());
}

// A small volume (block size 128) with a nested directory, a directory of
// three blocks, a directory that contains itself, and a file with 2 copies.
ImageBuilder seedVolume(std::int32_t volumeOffset) {
  ImageBuilder image(128, volumeOffset);
  image.header(40, 1);
  image.data(30, "alpha\n");
  image.data(31, "beta beta\n");
  image.data(32, "beta beta\n");
  image.directory(1, {{"alpha", "TEXT", 6, 30},
                      {"sub", "DIR", 384, 5},
                      {"self", "DIR", 128, 1},
                      {"beta", "TEXT", 10, 31, 1}});
  image.poke32(image.blockPosition(1) + 20 + 3 * 72 + 72, 32);  // beta's second copy
  std::vector<EntrySpec> many;
  for (int i = 0; i < 5; ++i) {
    many.push_back({std::string("f").append(std::to_string(i)), "TEXT", 6, 30});
  }
  image.directory(5, many, 3);
  image.resize(40 * 128 + volumeOffset);
  return image;
}

void writeSeeds(const std::string& directory) {
  const std::string everything =
      "l\nd\nc sub\nl\na\nc ..\nc self\nc ..\ng alpha\nw alpha\ng beta\nw beta\n"
      "t\nx\ns beta\np sub/f1\nc /sub/../self/\nu\nv\nm\nm sub\n\nc\ng\nw\nc missing\nh\n"
      "o alpha 1 3\no sub/f1\no\nf beta\nf \\x61\nf\nq\n";
  const std::string patching = "+alpha ALPHA\n+sub/f2 f2\n+beta b\nu\nx sub\nu sub\nt self\ns\n";
  // i, e and n, then the bare w: sub grows past its three blocks.
  const std::string editing =
      "+new N\n+box/a A\n+box/in/b B\n+sub/g g\n+sub/h h\n+sub/i i\ni new\ni box\ni sub/g\n"
      "i sub/h\ni sub/i\ne alpha\nn beta 'b e'\ne sub/f0\nn box/in c\ni\nw\nu\nr\nq\nq\n";
  std::vector<std::pair<std::string, std::string>> seeds = {
      {"demo", joinInput("l\nc logs\nd\ng day01.log\na\nc ..\nc docs/archive\nl\nc ..\nc ..\n"
                         "g README\nw README\nt\nx\np docs/guide.txt\ns logs\nq\n",
                         asString(discshell::tools::demoImage()))},
      {"small", joinInput(everything, asString(seedVolume(0)))},
      {"offset", joinInput("@0x10\n" + everything, asString(seedVolume(16)), true)},
      {"patch", joinInput(patching, asString(seedVolume(0)))},
      {"batch", joinInput("x\nc sub\np f1\nc missing\nl\n", asString(seedVolume(0)), false, true)},
      {"edit", joinInput(editing, asString(seedVolume(0)))},
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
    seeds.push_back({name, joinInput(everything + patching, asString(image))});
    seeds.push_back({name + "-edit", joinInput(editing, asString(image))});
  }
  ImageBuilder truncated = seedVolume(0);
  truncated.resize(300);
  seeds.push_back({"truncated", joinInput(everything, asString(truncated))});
  for (const auto& [name, bytes] : seeds) {
    std::ofstream file(directory + "/" + name, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file.flush()) throw std::runtime_error("cannot write seed " + name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: discshell-fuzz-seeds DIRECTORY\n";
    return 2;
  }
  try {
    writeSeeds(argv[1]);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "discshell-fuzz-seeds: " << error.what() << '\n';
    return 1;
  }
}
