// From the command line to the prompt.
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "volume/geometry.h"

namespace discshell {

class StandardOutputBuffer;

/// The volume offset argument, read as strtol does with base 0 (decimal,
/// 0x hexadecimal, leading-0 octal; text without a number gives 0), saturated
/// at the signed 32-bit limits.
[[nodiscard]] std::int32_t parseVolumeOffset(const char* text);

/// The volume's summary as the prompt begins with it, a line each.
[[nodiscard]] std::vector<std::string> volumeSummary(const VolumeGeometry& geometry);

/// The streams of a run and whether each is a terminal.
struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool inputIsTerminal = false;
  bool outputIsTerminal = false;
  bool errorIsTerminal = false;
  /// Standard output's own buffer, where it is one (not in tests).
  StandardOutputBuffer* outputBuffer = nullptr;
  /// How long a command runs before its progress shows (tests shorten it).
  std::chrono::milliseconds progressDelay = std::chrono::seconds(1);
  /// How often the progress line is drawn anew at most (tests: every time).
  std::chrono::milliseconds progressRedraw = std::chrono::milliseconds(100);
};

/// A whole run: `args` are the command-line arguments after the program name
/// ([OPTION]... IMAGE [VOLUME-OFFSET]). Returns the exit status: 0 for a
/// normal end, 1 when the run cannot start (options, image, header), 2 when
/// a command failed in batch mode, 3 when standard output could not be
/// written, 255 when no image is named.
[[nodiscard]] int runDiscshell(std::span<const char* const> args, Console& console);

}  // namespace discshell
