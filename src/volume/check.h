// v: a read-only check of a whole volume, from its header to every entry
// reached from the root.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

struct CheckTotals {
  std::int64_t directories = 0;  ///< entered, the root included
  std::int64_t files = 0;
  std::int64_t problems = 0;
};

/// Told about each problem as it is found: the path as t shows it (a
/// directory with its "/", and "/" for the header and the root) and what is
/// wrong, a sentence without a line end.
using ProblemReporter = std::function<void(const std::string& path, const std::string& what)>;

/// Told how many bytes of data the check has read, as it goes.
using BytesRead = std::function<void(std::int64_t bytes)>;

/// Checks the header, the root and its copies, every entry and directory the
/// tree walk reaches from the root (each directory entered once), and then
/// whether the data of any two entries overlap. Problems come in walk order,
/// the overlaps last, in the order of where they lie in the image. Every
/// directory is read once (one of more than 4,096 entries twice, the second
/// time for its names), data only to compare an entry's copies, each copy
/// once, through one bounded buffer, and the first entries of a file whose
/// size is whole blocks, to tell a damaged directory. Memory grows only by a
/// few bytes per entry with data, for the overlap check and the paths it
/// names, and by 4 bytes a name of a large directory while it is read again.
CheckTotals checkVolume(const ImageFile& image, const VolumeGeometry& geometry,
                        const ProblemReporter& report, const BytesRead& bytesRead = nullptr);

}  // namespace discshell
