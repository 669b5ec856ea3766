// The layout of one fuzzer input, shared by the fuzzer and the seed writer:
//
//   byte 0      flags: bit 0 set = standard output is a terminal
//   bytes 1-2   script length S, little-endian
//   S bytes     the command script; a first line "@TEXT" is taken out of it
//               and given as the VOLUME-OFFSET argument
//   the rest    the image
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "console/startup.h"

namespace discshell::fuzz {

struct FuzzInput {
  bool terminalOutput = false;
  std::optional<std::string> volumeOffset;
  std::string script;
  std::string image;
};

inline FuzzInput splitInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input;
  if (size < 3) return input;
  input.terminalOutput = (data[0] & 1) != 0;
  std::size_t scriptLength = std::size_t{data[1]} | (std::size_t{data[2]} << 8);
  if (scriptLength > size - 3) scriptLength = size - 3;
  const char* bytes = reinterpret_cast<const char*>(data);
  input.script.assign(bytes + 3, scriptLength);
  input.image.assign(bytes + 3 + scriptLength, size - 3 - scriptLength);
  if (!input.script.empty() && input.script.front() == '@') {
    const std::size_t end = input.script.find('\n');
    input.volumeOffset = input.script.substr(1, end == std::string::npos ? end : end - 1);
    input.script.erase(0, end == std::string::npos ? input.script.size() : end + 1);
  }
  return input;
}

inline std::string joinInput(const std::string& script, const std::string& image,
                             bool terminalOutput = false) {
  std::string input;
  input.push_back(terminalOutput ? '\1' : '\0');
  input.push_back(static_cast<char>(script.size() & 0xFF));
  input.push_back(static_cast<char>((script.size() >> 8) & 0xFF));
  return input + script + image;
}

/// Writes the image to "image.iso" in the current directory and runs the
/// script on it as a whole session; returns the session's exit status.
inline int runSession(const FuzzInput& input) {
  {
    std::ofstream image("image.iso", std::ios::binary | std::ios::trunc);
    image.write(input.image.data(), static_cast<std::streamsize>(input.image.size()));
  }
  std::vector<const char*> args{"image.iso"};
  if (input.volumeOffset) args.push_back(input.volumeOffset->c_str());
  std::istringstream in(input.script);
  std::ostringstream out;
  return runDiscshell(args, in, out, input.terminalOutput);
}

}  // namespace discshell::fuzz
