// Runs one whole session per input, in process: the input holds a command
// script and an image (see fuzz_input.h), and every local file the session
// writes lands in a scratch directory that is emptied after each run.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_input.h"

namespace {

void emptyDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

std::string& scratchDirectory() {
  static std::string path;
  return path;
}

void removeScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string& scratch = scratchDirectory();
  scratch = (std::filesystem::temp_directory_path() / "discshell-fuzz-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr || ::chdir(scratch.c_str()) != 0) std::abort();
  std::atexit(removeScratchDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const discshell::fuzz::FuzzInput input = discshell::fuzz::splitInput(data, size);
  (void)discshell::fuzz::runSession(input);
  emptyDirectory(std::filesystem::current_path());
  return 0;
}
