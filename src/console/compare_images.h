// --compare: the differences between two images, one line each, and the
// exit status diff and cmp give.
#pragma once

#include <ostream>
#include <string>

#include "volume/tree_compare.h"

namespace discshell {

/// diff's and cmp's statuses: the trees hold the same, they differ, trouble.
inline constexpr int kCompareSame = 0;
inline constexpr int kCompareDiffer = 1;
inline constexpr int kCompareTrouble = 2;

/// An image compared, under the name the user gave it.
struct NamedVolume {
  ComparedVolume volume;
  std::string name;
};

/// Where the lines go, and whether each stream is a terminal (names from
/// the images are then shown harmless).
struct CompareStreams {
  std::ostream& out;
  std::ostream& err;
  bool outputIsTerminal = false;
  bool errorIsTerminal = false;
};

/// Prints every difference of `other` from `image` on `out`, every trouble
/// on `err` (each led by "discshell: " and the name of the image it lies
/// in), then the counts on `out`. Returns kCompareSame, kCompareDiffer, or
/// kCompareTrouble when any trouble was met.
[[nodiscard]] int printComparison(const NamedVolume& image, const NamedVolume& other, bool layout,
                                  const CompareStreams& streams);

}  // namespace discshell
