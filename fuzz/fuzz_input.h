// The layout of one fuzzer input, shared by the fuzzer, its seed writer and
// the corpus replay test:
//
//   byte 0      flags: bit 0 set = standard output is a terminal,
//               bit 1 set = batch mode (the script is given with -f -)
//   bytes 1-2   script length S, little-endian
//   S bytes     the command script; a first line "@TEXT" is taken out of it
//               and given as the VOLUME-OFFSET argument, and each line
//               "+PATH TEXT" is taken out and written as the local file PATH
//               (components joined by "/"), holding TEXT, before the session
//   the rest    the image
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console/startup.h"

namespace discshell::fuzz {

struct FuzzInput {
  bool terminalOutput = false;
  bool batch = false;
  std::optional<std::string> volumeOffset;
  std::vector<std::pair<std::string, std::string>> localFiles;
  std::string script;
  std::string image;
};

inline FuzzInput splitInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input;
  if (size < 3) return input;
  input.terminalOutput = (data[0] & 1) != 0;
  input.batch = (data[0] & 2) != 0;
  std::size_t scriptLength = std::size_t{data[1]} | (std::size_t{data[2]} << 8);
  if (scriptLength > size - 3) scriptLength = size - 3;
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string script(bytes + 3, scriptLength);
  input.image.assign(bytes + 3 + scriptLength, size - 3 - scriptLength);
  std::istringstream lines(script);
  bool first = true;
  for (std::string line; std::getline(lines, line); first = false) {
    if (first && line.starts_with('@')) {
      input.volumeOffset = line.substr(1);
    } else if (line.starts_with('+')) {
      const std::size_t space = line.find(' ');
      input.localFiles.emplace_back(line.substr(1, space == std::string::npos ? space : space - 1),
                                    space == std::string::npos ? "" : line.substr(space + 1));
    } else {
      input.script += line + "\n";
    }
  }
  return input;
}

/// Every input in a corpus directory, with the file it came from.
inline std::vector<std::pair<std::filesystem::path, FuzzInput>> readCorpus(
    const std::filesystem::path& directory) {
  std::vector<std::pair<std::filesystem::path, FuzzInput>> inputs;
  for (const auto& file : std::filesystem::directory_iterator(directory)) {
    std::ifstream in(file.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    inputs.emplace_back(
        file.path(), splitInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  return inputs;
}

inline std::string joinInput(const std::string& script, const std::string& image,
                             bool terminalOutput = false, bool batch = false) {
  std::string input;
  input.push_back(static_cast<char>((terminalOutput ? 1 : 0) | (batch ? 2 : 0)));
  input.push_back(static_cast<char>(script.size() & 0xFF));
  input.push_back(static_cast<char>((script.size() >> 8) & 0xFF));
  return input + script + image;
}

// Writes a local file below the current directory; paths that would leave
// it (or that the file system refuses) are skipped.
inline void writeLocalFile(const std::string& path, const std::string& text) {
  if (path.empty() || path.front() == '/' || path.find("..") != std::string::npos) return;
  for (std::size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::error_code ignored;
    std::filesystem::create_directory(path.substr(0, slash), ignored);
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

/// Writes the image to "image.iso" and the local files into the current
/// directory, and runs the script on them as a whole session; returns the
/// session's exit status.
inline int runSession(const FuzzInput& input) {
  {
    std::ofstream image("image.iso", std::ios::binary | std::ios::trunc);
    image.write(input.image.data(), static_cast<std::streamsize>(input.image.size()));
  }
  for (const auto& [path, text] : input.localFiles) writeLocalFile(path, text);
  std::vector<const char*> args;
  if (input.batch) args = {"-f", "-"};
  args.push_back("image.iso");
  if (input.volumeOffset) args.push_back(input.volumeOffset->c_str());
  std::istringstream in(input.script);
  std::ostringstream out;
  std::ostringstream err;
  Console console{in, out, err, false, input.terminalOutput, input.terminalOutput};
  return runDiscshell(args, console);
}

}  // namespace discshell::fuzz
