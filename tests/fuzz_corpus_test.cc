// Replays every input of the fuzzer's corpus (its seeds, and a file for each
// finding) as a whole session in this process, so the sanitizer build checks
// them on every run.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

// Runs in an empty directory of the build tree and returns to the previous
// one afterwards. It is emptied before and after, so even a run that ctest
// killed on a timeout leaves nothing behind for long, and nothing in $TMPDIR.
class InScratchDirectory {
 public:
  InScratchDirectory() : previous_(std::filesystem::current_path()) {
    std::filesystem::remove_all(kPath);
    std::filesystem::create_directory(kPath);
    std::filesystem::current_path(kPath);
  }
  ~InScratchDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(kPath, ignored);
  }
  InScratchDirectory(const InScratchDirectory&) = delete;
  InScratchDirectory& operator=(const InScratchDirectory&) = delete;

 private:
  static constexpr const char* kPath = DISCSHELL_REPLAY_DIRECTORY;
  std::filesystem::path previous_;
};

TEST(FuzzCorpus, EverySessionEndsNormallyAndLeavesTheImageAlone) {
  std::size_t replayed = 0;
  for (const auto& [path, input] : fuzz::readCorpus(DISCSHELL_FUZZ_CORPUS)) {
    InScratchDirectory scratch;
    const int status = fuzz::runSession(input);
    EXPECT_TRUE(status >= 0 && status <= 2) << path;
    EXPECT_EQ(readFile("image.iso"), input.image) << path;
    ++replayed;
  }
  EXPECT_GT(replayed, 10u);
}

}  // namespace
}  // namespace discshell::testing
