// k and --map in whole sessions of the built tool: the SVG read back as XML.
#include <gtest/gtest.h>

#include <filesystem>

#include "session_harness.h"
#include "svg_reader.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

// Blocks of 512 bytes, 1,000 bytes into the image: a directory with two
// copies, a file with two that differ, two files over one block, and a
// header that claims 40 blocks where the image holds 36 and a bit.
ImageBuilder layoutVolume() {
  ImageBuilder image(512, 1000);
  image.header(40, 1);
  const auto root = image.directory(1, {{"docs", "DIR", 512, 2, 1},
                                        {"twin", "DATA", 600, 10, 1},
                                        {"a", "DATA", 1024, 30},
                                        {"b", "DATA", 1024, 31},
                                        {"c", "DATA", 512, 32},
                                        {"d", "DATA", 100, 11}});
  image.furtherCopies(root[0], {3});
  image.furtherCopies(root[1], {20});
  for (const std::int32_t block : {2, 3}) image.directory(block, {{"inner", "TEXT", 4, 25}});
  image.data(10, "copy zero");
  image.data(20, "copy one!");
  image.data(25, "note");
  image.resize(1000 + 36 * 512 + 100);
  return image;
}

// The map that the run with `args` writes as map.svg, read back.
MapFacts mapOf(const ImageBuilder& image, const std::vector<std::string>& args,
               const ScratchDir& dir, RunResult* result = nullptr) {
  image.save(dir / "image.iso");
  const RunResult run = runTool(args, "", dir.path());
  if (result != nullptr) *result = run;
  const auto svg = readFile(dir / "map.svg");
  if (!svg) {
    ADD_FAILURE() << "no map: " << run.output << run.errors;
    return {};
  }
  const auto document = parseXml(*svg);
  if (!document) {
    ADD_FAILURE() << "not well-formed XML";
    return {};
  }
  return readMap(*document);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> found;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    found.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return found;
}

// The problem lines of v on image.iso in `dir`, without its count.
std::vector<std::string> problemsOfV(const ScratchDir& dir) {
  auto found = lines(runTool({"-c", "v", "image.iso"}, "", dir.path()).output);
  found.pop_back();
  return found;
}

std::set<std::int64_t> range(std::int64_t first, std::int64_t last) {
  std::set<std::int64_t> cells;
  for (std::int64_t cell = first; cell <= last; ++cell) cells.insert(cell);
  return cells;
}

TEST(Map, ColoursEachBlockByWhatUsesItTitlesEachCopyAndOutlinesProblems) {
  ScratchDir dir;
  RunResult run;
  const MapFacts map = mapOf(layoutVolume(), {"--map", "map.svg", "image.iso", "1000"}, dir, &run);
  EXPECT_EQ(run.output, "Map of 40 blocks written to map.svg.\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(map.blocks, 40);
  EXPECT_EQ(map.blockSize, 512);
  EXPECT_EQ(map.blocksPerCell, 1);
  EXPECT_EQ(map.cells, 40);
  EXPECT_EQ(map.columns, 16);
  EXPECT_NE(readFile(dir / "map.svg")
                .value_or("")
                .find("<title>Map of the volume: 40 blocks of 512 bytes, 1 block a cell: 40 cells, "
                      "16 to a row</title>"),
            std::string::npos);
  ImageBuilder tiny(512);
  tiny.header(1, 1);
  tiny.directory(1, {});
  tiny.save(dir / "tiny.iso");
  ASSERT_EQ(runTool({"--map", "tiny.svg", "tiny.iso"}, "", dir.path()).status, 0);
  EXPECT_NE(readFile(dir / "tiny.svg")
                .value_or("")
                .find(": 1 block of 512 bytes, 1 block a cell: 1 cell, 16 to a row</title>"),
            std::string::npos);
  std::set<std::int64_t> unused = range(0, 39);
  const std::map<std::string, std::set<std::int64_t>> uses = {{"header", {0}},
                                                              {"directory", {1, 2, 3}},
                                                              {"first-copy", {10, 25, 30}},
                                                              {"further-copy", {20, 21}},
                                                              {"overlap", {11, 31, 32}},
                                                              {"past-end", range(36, 39)}};
  for (const auto& [use, cells] : uses) {
    for (const std::int64_t cell : cells) unused.erase(cell);
  }
  for (const auto& [use, cells] : uses) EXPECT_EQ(map.uses.at(use), cells) << use;
  EXPECT_EQ(map.uses.at("unused"), unused);
  EXPECT_EQ(map.legend.at("header"), "#762a83");
  EXPECT_EQ(map.legend.at("past-end"), "url(#past-end)");
  // twin's copy 1 differs; b overlaps a, c b just behind, and d twin, apart
  // from them; the volume runs past the image.
  std::set<std::int64_t> outlined = range(36, 39);
  outlined.insert({11, 20, 21, 31, 32});
  EXPECT_EQ(map.outlined, outlined);
  EXPECT_TRUE(map.outsideFocus.empty());
  EXPECT_EQ(std::vector<std::string>(map.titles.begin() + 1, map.titles.end()),
            (std::vector<std::string>{
                "/, copy 0: blocks 1-1, 512 bytes", "docs/, copy 0: blocks 2-2, 512 bytes",
                "docs/, copy 1: blocks 3-3, 512 bytes", "docs/inner, copy 0: blocks 25-25, 4 bytes",
                "twin, copy 0: blocks 10-11, 600 bytes", "twin, copy 1: blocks 20-21, 600 bytes",
                "a, copy 0: blocks 30-31, 1024 bytes", "b, copy 0: blocks 31-32, 1024 bytes",
                "c, copy 0: blocks 32-32, 512 bytes", "d, copy 0: blocks 11-11, 100 bytes"}));
  const std::vector<std::string> problems = {
      "/: the volume ends 1948 bytes past the end of the image.",
      "twin: copy 1 differs from copy 0", "b: overlaps a", "c: overlaps b", "d: overlaps twin"};
  EXPECT_EQ(map.problems, problems);
  for (const std::string summary :
       {"Volume Size: 20480 bytes", "Block Size: 512 bytes",
        "Root Directory: 1512 bytes from start of volume", "v names 5 problems:"}) {
    EXPECT_NE(std::find(map.texts.begin(), map.texts.end(), summary), map.texts.end()) << summary;
  }
}

// More blocks than cells: a cell of 4 blocks takes the most serious use of
// any of them, and what the image cuts short is past its end.
TEST(Map, ACellOfManyBlocksTakesTheMostSeriousUseInIt) {
  ImageBuilder image(2048);
  image.header(200000, 1);
  image.directory(1, {{"big", "DATA", 4096, 9}, {"cut", "DATA", 4096, 15}});
  image.resize(16 * 2048);
  ScratchDir dir;
  RunResult run;
  const MapFacts map = mapOf(image, {"-c", "k map.svg", "image.iso"}, dir, &run);
  EXPECT_EQ(run.output, "Map of 200000 blocks written to map.svg.\n");
  EXPECT_EQ(map.blocksPerCell, 4);
  EXPECT_EQ(map.cells, 50000);
  EXPECT_EQ(map.columns, 256);
  EXPECT_EQ(map.use(0), "header");  // over the root's block 1
  EXPECT_EQ(map.use(1), "unused");
  EXPECT_EQ(map.use(2), "first-copy");
  EXPECT_EQ(map.use(3), "first-copy");  // cut's block 15, in the image
  EXPECT_EQ(map.use(4), "past-end");    // and its block 16, not
  EXPECT_EQ(map.uses.at("past-end"), range(4, 49999));
  EXPECT_EQ(map.outlined, range(3, 49999));
  EXPECT_EQ(map.problems, problemsOfV(dir));
  EXPECT_EQ(map.titles.back(), "cut, copy 0: blocks 15-16, 4096 bytes");
}

// A directory that contains itself, two files over one block, one named
// with markup, a control character and a byte that is no UTF-8, a file
// whose two copies overlap each other (one entry: no overlap), and a copy
// over the header (it and the header at once): the map is drawn whole,
// stays well-formed, and names what v names.
TEST(Map, DrawsAHostileVolumeAndNamesItsProblemsAsVDoes) {
  ImageBuilder image(512);
  image.header(16, 1);
  const auto root = image.directory(1, {{"loop", "DIR", 512, 1},
                                        {"x<&\x01\xff", "DATA", 1024, 5},
                                        {"y", "DATA", 512, 6},
                                        {"self", "DATA", 1024, 8, 1},
                                        {"low", "DATA", 4, 12, 1}});
  image.furtherCopies(root[3], {9});
  image.furtherCopies(root[4], {0});
  image.resize(16 * 512);
  ScratchDir dir;
  const MapFacts map = mapOf(image, {"-c", "k map.svg", "image.iso"}, dir);
  const std::vector<std::string> named = {"loop/: directory already seen at /",
                                          "low: copy 1 overlaps the volume header."};
  std::vector<std::string> problems = named;
  problems.push_back("y: overlaps x<&\x01\xff");
  EXPECT_EQ(problemsOfV(dir), problems);
  problems.back() = "y: overlaps x<&?\xEF\xBF\xBD";
  EXPECT_EQ(map.problems, problems);
  EXPECT_EQ(map.titles.at(2), "loop/, copy 0: blocks 1-1, 512 bytes");
  EXPECT_EQ(map.titles.at(3), "x<&?\xEF\xBF\xBD, copy 0: blocks 5-6, 1024 bytes");
  EXPECT_EQ(map.uses.at("directory"), std::set<std::int64_t>{1});
  EXPECT_EQ(map.uses.at("first-copy"), (std::set<std::int64_t>{5, 8, 9, 12}));
  EXPECT_EQ(map.uses.at("further-copy"), std::set<std::int64_t>{10});
  EXPECT_EQ(map.uses.at("overlap"), (std::set<std::int64_t>{0, 6}));
  EXPECT_EQ(map.outlined, (std::set<std::int64_t>{0, 1, 6}));
}

// k PATH veils every cell but those of what PATH names, whether it names
// an entry or a directory, and names it in the legend.
TEST(Map, HighlightsTheEntriesBelowPath) {
  ScratchDir dir;
  const std::set<std::int64_t> all = range(0, 39);
  const auto outside = [&](std::set<std::int64_t> focused) {
    std::set<std::int64_t> cells;
    std::set_difference(all.begin(), all.end(), focused.begin(), focused.end(),
                        std::inserter(cells, cells.begin()));
    return cells;
  };
  const std::vector<std::pair<std::string, std::set<std::int64_t>>> cases = {
      {"docs", {2, 3, 25}}, {"docs/", {2, 3, 25}}, {"twin", {10, 11, 20, 21}}};
  for (const auto& [path, focused] : cases) {
    const MapFacts map =
        mapOf(layoutVolume(), {"-c", "k map.svg " + path, "image.iso", "1000"}, dir);
    EXPECT_EQ(map.outsideFocus, outside(focused)) << path;
    const std::string legend =
        (path == "docs/" ? "outside /docs/" : "outside /" + path) + ", veiled";
    EXPECT_NE(std::find(map.texts.begin(), map.texts.end(), legend), map.texts.end()) << path;
  }
  const MapFacts whole =
      mapOf(layoutVolume(), {"-c", "c docs", "-c", "k map.svg ..", "image.iso", "1000"}, dir);
  EXPECT_TRUE(whole.outsideFocus.empty());
}

TEST(Map, RefusesTheImageDirectoriesAndWrongArguments) {
  ScratchDir dir;
  layoutVolume().save(dir / "image.iso");
  const auto run = [&](const std::vector<std::string>& args) {
    return runTool(args, "", dir.path());
  };
  RunResult result = run({"-c", "k image.iso", "image.iso"});
  EXPECT_EQ(result.errors, batchErrors("-c 1",
                                       "image.iso: is the image.\n"
                                       "Nothing written; image.iso is as it was.\n"));
  EXPECT_EQ(result.status, 2);
  result = run({"--map", "image.iso", "image.iso"});
  EXPECT_EQ(result.errors, batchErrors("--map",
                                       "image.iso: is the image.\n"
                                       "Nothing written; image.iso is as it was.\n"));
  EXPECT_EQ(result.status, 2);
  ASSERT_TRUE(std::filesystem::create_directory(dir / "sub.svg"));
  EXPECT_EQ(
      run({"-c", "k sub.svg", "image.iso"}).errors,
      batchErrors("-c 1", "sub.svg: is a directory.\nNothing written; sub.svg is as it was.\n"));
  if (makeSymbolicLink("kept.svg", dir / "link.svg")) {
    EXPECT_EQ(run({"-c", "k link.svg", "image.iso"}).errors,
              batchErrors("-c 1", "link.svg: not a regular file.\nNothing written.\n"));
  }
  writeFile(dir / "kept.svg", "kept");
  EXPECT_EQ(run({"-c", "k kept.svg nowhere", "image.iso"}).errors,
            batchErrors("-c 1", "File not found.\n"));
  EXPECT_EQ(readFile(dir / "kept.svg"), "kept");
  EXPECT_EQ(run({"-c", "k", "image.iso"}).errors,
            batchErrors("-c 1", "Usage: k FILE.svg [PATH]\n"));
  EXPECT_EQ(run({"-c", "k a b c", "image.iso"}).errors,
            batchErrors("-c 1", "Usage: k FILE.svg [PATH]\n"));
  EXPECT_NE(run({"-c", "h", "image.iso"}).output.find("\nk FILE.svg [PATH]\n"), std::string::npos);
  EXPECT_NE(run({"-h"}).output.find("\n  --map FILE     write a map"), std::string::npos);
  result = run({"--map", "map.svg", "-c", "l", "image.iso"});
  EXPECT_EQ(result.errors, "discshell: --map takes no commands\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(exists(dir / "map.svg"));
  // At the prompt the map lands where -C points.
  result = runTool({"-C", dir.path(), (dir / "image.iso"), "1000"}, "k \"my map.svg\" docs\nq\n",
                   dir.path());
  EXPECT_NE(result.output.find("?>Map of 40 blocks written to my map.svg.\n?>"), std::string::npos);
  EXPECT_TRUE(exists(dir / "my map.svg"));

  if (kWindows) return;  // no file-size limit to make a write fail
  // A disk that fills up half-way: no map at all, and a failure.
  ToolOptions full;
  full.fileSizeLimit = 1000;
  result = runTool({"--map", "full.svg", "image.iso"}, "", dir.path(), full);
  EXPECT_EQ(result.errors,
            batchErrors("--map", "full.svg: could not be written.\nNothing written.\n"));
  EXPECT_EQ(result.status, 2);
  EXPECT_FALSE(exists(dir / "full.svg"));
}

// One entry of 20,000 copies, all of one block, ten directories down, each
// named with 31 letters (its titles cut after 300 bytes of path): titles
// one by one while they fit, then by cell, and the whole map within its
// 8 MiB. An entry walked after them, whose title is short, gets none of
// its own either.
TEST(Map, StaysWithinItsSizeWhateverTheVolumeHolds) {
  constexpr std::int32_t kBlock = 128 * 1024;
  constexpr std::int32_t kDepth = 10;
  constexpr std::int32_t kCopies = 20000;
  constexpr std::int32_t kData = kDepth + 2;
  ImageBuilder image(kBlock);
  image.header(kData + 1, 1);
  for (std::int32_t level = 1; level <= kDepth; ++level) {
    std::vector<tools::EntrySpec> entries = {
        {std::string(31, static_cast<char>('a' + level)), "DIR", kBlock, level + 1}};
    if (level == 1) entries.push_back({"z", "DATA", 1, kData});
    image.directory(level, entries);
  }
  const auto records = image.directory(kDepth + 1, {{"many", "DATA", 1, kData, kCopies - 1}});
  for (std::int32_t i = 1; i < kCopies; ++i) image.poke32(records[0] + 68 + 4 * i, kData);
  image.data(kData, "a");
  image.resize((kData + 1) * kBlock);
  ScratchDir dir;
  RunResult run;
  const MapFacts map = mapOf(image, {"-c", "k map.svg", "image.iso"}, dir, &run);
  const auto size = readFile(dir / "map.svg").value_or("").size();
  EXPECT_LE(size, std::size_t{8} << 20);
  EXPECT_GT(size, std::size_t{6} << 20);
  EXPECT_GT(map.titles.size(), 15000U);
  EXPECT_LT(map.titles.size(), 19000U);
  const std::string path = map.titles.at(kDepth + 2);
  EXPECT_EQ(path.substr(0, 32), std::string(31, 'b') + "/");
  EXPECT_EQ(path.substr(300), "\xE2\x80\xA6, copy 0: blocks 12-12, 1 byte");
  const std::string& last = map.titles.back();
  EXPECT_EQ(last.substr(0, 15), "blocks 12-12: b") << last;
  EXPECT_TRUE(last.ends_with(" more")) << last;
  // Each copy is named once: by a title of its own, or by the cell's.
  const auto own =
      std::count_if(map.titles.begin(), map.titles.end(),
                    [](const std::string& title) { return title.ends_with(", 1 byte"); });
  const std::size_t and_ = last.rfind(" and ");
  ASSERT_NE(and_, std::string::npos) << last;
  EXPECT_EQ(own + 1 + std::stol(last.substr(and_ + 5)), kCopies + 1) << last;
  EXPECT_EQ(std::count_if(map.titles.begin(), map.titles.end(),
                          [](const std::string& title) { return title.starts_with("z, "); }),
            0);
  EXPECT_EQ(map.uses.at("first-copy"), std::set<std::int64_t>{kData});
  if (!DISCSHELL_SANITIZED) {
    EXPECT_LT(run.peakKiB, 16384);
  }
}

}  // namespace
}  // namespace discshell::testing
