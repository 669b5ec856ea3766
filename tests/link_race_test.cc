// x under a race: while x is filling a directory, another process swaps that
// directory with a link that leads out of the tree. Nothing may land outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

// The state letter of a process from /proc/PID/stat ('R', 'S', 'T', 'Z'...).
char processState(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
  const std::size_t close = stat.rfind(") ");
  return close == std::string::npos || close + 2 >= stat.size() ? 'Z' : stat[close + 2];
}

constexpr int kFiles = 300;

// One x of 300 files of 32 KiB into d. As soon as the first file is in d,
// the tool is stopped, d is swapped with dl (a link to ../outside), and the
// tool goes on. Returns whether it was stopped part way through d, which is
// the case this test is about; a tool that finished first proves nothing.
bool extractWhileSwapped(const ScratchDir& dir, const std::string& work) {
  tools::ImageBuilder image(512);
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

  bool midway = false;
  ToolOptions swapping;
  swapping.whileRunning = [&](pid_t pid) {
    const std::string first = work + "/d/f0";
    while (!exists(first) && processState(pid) != 'Z') ::sched_yield();
    ::kill(pid, SIGSTOP);
    while (processState(pid) != 'T' && processState(pid) != 'Z') ::sched_yield();
    const std::size_t written = listNames(work + "/d").size();
    midway = processState(pid) == 'T' && written >= 1 && written < kFiles;
    EXPECT_EQ(::renameat2(AT_FDCWD, (work + "/d").c_str(), AT_FDCWD, (work + "/dl").c_str(),
                          RENAME_EXCHANGE),
              0);
    ::kill(pid, SIGCONT);
  };
  const RunResult run = runTool({"-c", "x", "image.iso"}, "", work, swapping);

  // x keeps to the directory it entered, now named dl, and fills it.
  EXPECT_TRUE(listNames(dir / "outside").empty());
  EXPECT_TRUE(std::filesystem::is_symlink(work + "/d"));
  EXPECT_EQ(listNames(work + "/dl").size(), std::size_t{kFiles});
  EXPECT_EQ(run.status, 0) << run.errors;
  return midway;
}

TEST(LinkRace, XWritesNothingOutsideWhenTheDirectoryItFillsIsSwappedWithALink) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir / "outside").c_str(), 0755), 0);
  bool midway = false;
  for (int attempt = 0; attempt < 12 && !midway && !HasFailure(); ++attempt) {
    midway = extractWhileSwapped(dir, dir / ("work" + std::to_string(attempt)));
  }
  if (!midway && !HasFailure()) GTEST_SKIP() << "x always finished before it could be stopped";
}

}  // namespace
}  // namespace discshell::testing
