// Interrupted writes leave nothing behind, and the process still ends by the signal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "platform/platform.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

// Waits until process `pid` has a nameless file open in `directory`, or a
// named temporary file there, that is, until it is in the middle of writing.
void waitForTemporaryFile(pid_t pid, const std::string& directory) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (int tries = 0; tries < 20000; ++tries) {
    if (DIR* listing = ::opendir(fds.c_str())) {
      std::string target(4096, '\0');
      bool found = false;
      while (const dirent* entry = ::readdir(listing)) {
        const ssize_t n = ::readlink((fds + "/" + entry->d_name).c_str(), target.data(), 4096);
        const std::string link = target.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0);
        found = found || (link.starts_with(directory + "/") && link.ends_with("(deleted)"));
      }
      ::closedir(listing);
      for (const std::string& name : listNames(directory)) found = found || name[0] == '.';
      if (found) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(Interrupt, LeavesNoFileBehindWhenASignalEndsALongCopy) {
  ScratchDir dir;
  constexpr std::int32_t kEntryBytes = 0x70000000;  // 1.75 GiB, sparse in the image
  tools::ImageBuilder image(2048);
  image.header(16 + kEntryBytes / 2048, 1);
  image.directory(1, {{"big", "DATA", kEntryBytes, 16}});
  image.save(dir / "image.iso");
  ASSERT_EQ(::truncate((dir / "image.iso").c_str(), 16 * 2048 + std::int64_t{kEntryBytes}), 0);
  writeFile(dir / "big", "earlier");
  writeFile(dir / "output.iso", "earlier output");
  for (const char* command : {"g big", "a", "w big"}) {
    for (const int signal : {SIGINT, SIGTERM}) {
      ToolOptions interrupt;
      interrupt.whileRunning = [&](pid_t pid) {
        waitForTemporaryFile(pid, dir.path());
        ::kill(pid, signal);
      };
      const RunResult run =
          runTool({"image.iso"}, std::string(command) + "\nq\n", dir.path(), interrupt);
      EXPECT_EQ(run.signal, signal) << command;
      EXPECT_EQ(listNames(dir.path()),
                (std::vector<std::string>{"big", "image.iso", "output.iso"}));
      EXPECT_EQ(readFile(dir / "big"), "earlier");
      EXPECT_EQ(readFile(dir / "output.iso"), "earlier output");
    }
  }
}

// Where a file system refuses nameless files, the named temporary file is
// removed by the signal handler before the signal ends the process.
TEST(Interrupt, RemovesANamedTemporaryFileBeforeTheSignalEndsTheProcess) {
  ScratchDir dir;
  const pid_t child = ::fork();
  if (child == 0) {
    platform::PendingFile::preferNamedFiles(true);
    platform::installInterruptCleanup();
    const auto directory = platform::Directory::open(dir.path());
    const auto file = directory ? directory->createPending() : std::nullopt;
    if (!file || listNames(dir.path()).size() != 1) ::_exit(1);
    ::raise(SIGTERM);
    ::_exit(2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(listNames(dir.path()).empty());
}

}  // namespace
}  // namespace discshell::testing
