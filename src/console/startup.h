// From the command line to the prompt.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <span>

namespace discshell {

/// The volume offset argument, read as strtol does with base 0 (decimal,
/// 0x hexadecimal, leading-0 octal; text without a number gives 0), saturated
/// at the signed 32-bit limits.
[[nodiscard]] std::int32_t parseVolumeOffset(const char* text);

/// A whole run: `args` are the command-line arguments after the program name
/// (IMAGE, then an optional VOLUME-OFFSET). Returns the exit status: 0 for a
/// normal end, 1 when the image cannot be opened or its header read, 255 when
/// no image is named.
[[nodiscard]] int runDiscshell(std::span<const char* const> args, std::istream& in,
                               std::ostream& out, bool terminalOutput);

}  // namespace discshell
