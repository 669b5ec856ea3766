// x under a race: another process swaps a directory x is filling with a
// link that leads out of the tree, again and again. Nothing may land outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "session_harness.h"

namespace discshell::testing {
namespace {

// One x of 300 files of 32 KiB into d, while a thread swaps d and dl (a
// link to ../outside) every half millisecond. Returns whether x entered d.
bool extractWhileSwapping(const ScratchDir& dir, const std::string& work) {
  tools::ImageBuilder image(512);
  constexpr int kFiles = 300;
  constexpr int kBytes = 32 * 1024;
  std::vector<tools::EntrySpec> files;
  for (int i = 0; i < kFiles; ++i) files.push_back({"f" + std::to_string(i), "DATA", kBytes, 200});
  const std::int32_t blocks = 200 + kBytes / 512;
  image.header(blocks, 1);
  image.directory(1, {{"d", "DIR", 512 * 150, 2}});
  image.directory(2, files, 150);
  image.resize(std::int64_t{blocks} * 512);
  EXPECT_EQ(::mkdir(work.c_str(), 0755), 0);
  image.save(work + "/image.iso");
  EXPECT_EQ(::mkdir((work + "/d").c_str(), 0755), 0);
  EXPECT_EQ(::symlink("../outside", (work + "/dl").c_str()), 0);

  std::atomic<bool> done{false};
  std::thread swapper([&] {
    const int fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY);
    while (!done.load()) {
      ::renameat2(fd, "d", fd, "dl", RENAME_EXCHANGE);
      ::usleep(500);
    }
    ::close(fd);
  });
  const RunResult run = runTool({"-c", "x", "image.iso"}, "", work);
  done.store(true);
  swapper.join();

  EXPECT_TRUE(listNames(dir / "outside").empty());
  // Either x entered the real directory and filled it, wherever it now is,
  // or it met the link and refused that directory as a failure.
  const bool realIsD = std::filesystem::is_directory(std::filesystem::symlink_status(work + "/d"));
  const std::size_t written = listNames(work + (realIsD ? "/d" : "/dl")).size();
  if (written == kFiles) {
    EXPECT_EQ(run.status, 0) << run.errors;
    return true;
  }
  EXPECT_EQ(written, 0U);
  EXPECT_EQ(run.errors, batchErrors("-c 1", "d: Could not create local directory.\n"));
  EXPECT_EQ(run.status, 2);
  return false;
}

TEST(LinkRace, XWritesNothingOutsideWhileADirectoryIsSwappedWithALink) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir / "outside").c_str(), 0755), 0);
  // A run that meets the link at once proves little: go on until x has
  // entered the directory while the swapping went on.
  bool entered = false;
  for (int attempt = 0; attempt < 12 && !entered && !HasFailure(); ++attempt) {
    entered = extractWhileSwapping(dir, dir / ("work" + std::to_string(attempt)));
  }
  EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace discshell::testing
