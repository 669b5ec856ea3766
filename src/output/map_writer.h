// k and --map: a picture of where everything lies in the volume, as one
// self-contained SVG (no scripts, fonts or links) that any browser or image
// viewer opens alike.
//
// The volume is drawn as rows of cells, left to right and top to bottom,
// one block a cell, or one run of blocks when there are more than 65,536.
// A cell takes the most serious use of any block in it: several entries at
// once (red), past the image's end (hatched), the header, a directory, a
// file's first copy, a file's further copies, unused. Each copy carries a
// title the browser shows on hover; v's problems are listed below the map
// and their cells outlined. The facts come from v's own survey, in its one
// pass over the tree; the writer keeps a few counters a cell, never
// anything a block or an entry, and streams the file out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output/output_file.h"
#include "volume/check.h"
#include "volume/image_file.h"

namespace discshell {

/// The most cells a map has.
inline constexpr std::int64_t kMapMaxCells = 65536;
/// The most bytes a map takes, whatever the volume holds.
inline constexpr std::int64_t kMapMaxBytes = std::int64_t{8} << 20;
/// Copies titled one by one at most; the rest of the volume is titled a cell at a time.
inline constexpr std::int64_t kMapMaxEntryTitles = 100000;

struct MapRequest {
  SurveyFocus focus;      ///< what is highlighted; everything without a focus
  std::string focusPath;  ///< the focus as the legend names it, when there is one
  /// The volume's summary, as start-up prints it, a line each.
  std::vector<std::string> summary;
};

enum class MapOutcome { kWritten, kIsImage, kIsDirectory, kNotRegular, kFailed };

struct MapResult {
  MapOutcome outcome = MapOutcome::kFailed;
  std::int64_t blocks = 0;  ///< the blocks the map stands for
};

/// Writes the map of the volume at `place`, built nameless and put in place
/// whole, with the output's refusals: never the image, never over anything
/// but a regular file. kFailed when it cannot be written or put in place;
/// whatever stood there is then as it was.
[[nodiscard]] MapResult writeVolumeMap(const ImageFile& image, const VolumeGeometry& geometry,
                                       const MapRequest& request, const OutputPlace& place,
                                       const BytesRead& bytesRead = nullptr);

}  // namespace discshell
