// What every shell command gets: the open volume and the session's streams.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

struct Session {
  const ImageFile& image;
  const VolumeGeometry& geometry;
  std::istream& in;
  std::ostream& out;
  /// Standard output is a terminal: control bytes in names are shown as "?".
  bool terminalOutput = false;
};

/// Text from the image or the user as it may be printed. On a terminal,
/// bytes below 0x20 and 0x7F become "?" (as ls shows them), so a crafted
/// name cannot send escape sequences; elsewhere every byte goes out unchanged.
[[nodiscard]] std::string displayText(std::string_view text, bool terminalOutput);

}  // namespace discshell
