// Reads the screenshots of the browser test: PNG files of 8-bit RGB or
// RGBA, not interlaced, with an inflate of their own (no zlib here).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace discshell::testing {

struct Picture {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<std::array<unsigned char, 3>> pixels;  ///< row by row, RGB

  [[nodiscard]] std::array<unsigned char, 3> at(std::int64_t x, std::int64_t y) const {
    return pixels[static_cast<std::size_t>(y * width + x)];
  }
};

/// The picture in the PNG file's bytes; no value when they are not a PNG
/// of that kind, or are damaged.
[[nodiscard]] std::optional<Picture> readPng(const std::string& bytes);

/// "#rrggbb", as SVG writes a colour.
[[nodiscard]] std::string hexColour(const std::array<unsigned char, 3>& rgb);

}  // namespace discshell::testing
