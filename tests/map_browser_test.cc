// The demo disc's map as a browser shows it: headless Chromium makes a
// screenshot, and each cell shows its use's colour from the legend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "png_reader.h"
#include "session_harness.h"
#include "svg_reader.h"

namespace discshell::testing {
namespace {

// Where Debian puts the browser.
std::optional<std::string> findChromium() {
  for (const std::string path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (exists(path)) return path;
  }
  return std::nullopt;
}

// The centre of a swatch or a cell, in the picture.
struct Spot {
  std::int64_t x;
  std::int64_t y;
};

Spot cellCentre(const MapFacts& map, std::int64_t cell) {
  return {16 + cell % map.columns * map.cellPixels + map.cellPixels / 2,
          40 + cell / map.columns * map.cellPixels + map.cellPixels / 2};
}

TEST(MapBrowser, ShowsEachCellInItsLegendColour) {
  if (kWindows) GTEST_SKIP() << "Chromium does not run under Wine";
  const auto chromium = findChromium();
  if (!chromium) GTEST_SKIP() << "no Chromium here (Debian: apt-get install chromium)";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const RunResult run = runTool({"--map", "demo-map.svg", "demo.iso"}, "", dir.path());
  ASSERT_EQ(run.output, "Map of 64 blocks written to demo-map.svg.\n");
  const auto document = parseXml(readFile(dir / "demo-map.svg").value_or(""));
  ASSERT_TRUE(document);
  const MapFacts map = readMap(*document);
  // One screenshot, in a fresh profile, with nothing reached over the network.
  const std::string command =
      "'" + *chromium + "' --headless --no-sandbox --disable-gpu --disable-quic --no-first-run" +
      " --disable-background-networking --disable-component-update --disable-sync" +
      " --hide-scrollbars --force-device-scale-factor=1 --force-color-profile=srgb" +
      " --user-data-dir='" + (dir / "profile") + "' --screenshot='" + (dir / "map.png") +
      "' --window-size=" + std::to_string(map.width) + "," + std::to_string(map.height) +
      " 'file://" + (dir / "demo-map.svg") + "' >'" + (dir / "chromium.log") + "' 2>&1";
  const int status = std::system(command.c_str());
  const auto png = readFile(dir / "map.png");
  if (status != 0 || !png) {
    GTEST_SKIP() << "Chromium cannot start here (status " << status
                 << "): " << readFile(dir / "chromium.log").value_or("");
  }
  const auto picture = readPng(*png);
  ASSERT_TRUE(picture);
  ASSERT_GE(picture->width, map.width);
  ASSERT_GE(picture->height, map.height);
  // The demo disc: its header, four directories, twenty files, the rest unused.
  EXPECT_EQ(map.uses.at("header").size(), 1U);
  EXPECT_EQ(map.uses.at("directory").size(), 6U);
  EXPECT_EQ(map.uses.at("first-copy").size(), 20U);
  for (const auto& [use, cells] : map.uses) {
    const XmlElement* swatch = document->byId("legend-" + use);
    ASSERT_NE(swatch, nullptr) << use;
    const std::string colour = map.legend.at(use);
    EXPECT_EQ(hexColour(picture->at(std::stoll(swatch->attribute("x")) + 7,
                                    std::stoll(swatch->attribute("y")) + 7)),
              colour)
        << use;
    for (const std::int64_t cell : cells) {
      const Spot centre = cellCentre(map, cell);
      EXPECT_EQ(hexColour(picture->at(centre.x, centre.y)), colour) << use << " cell " << cell;
    }
  }
  // The README's picture, when asked for.
  if (const char* keep = std::getenv("DISCSHELL_MAP_PICTURE")) {
    std::ofstream(keep, std::ios::binary) << *png;
  }
}

}  // namespace
}  // namespace discshell::testing
