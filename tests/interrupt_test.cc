// Interrupted writes leave nothing behind, and the process still ends by the signal.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

// The signals in /proc/PID/status's line `field` (SigIgn, SigCgt), as a mask.
std::uint64_t signalMask(pid_t pid, const std::string& field) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status").value_or("");
  const std::size_t at = status.find(field + ":\t");
  return at == std::string::npos ? 0
                                 : std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

// A signal the caller set to be ignored stays ignored: the tool does not
// catch it to clean up, and it does not end the run.
TEST(Interrupt, LeavesASignalItsCallerIgnoresIgnored) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(::mkfifo((dir / "input").c_str(), 0600), 0);
  ToolOptions ignoring;
  ignoring.ignoredSignal = SIGINT;
  ignoring.inputPath = dir / "input";
  std::uint64_t ignored = 0;
  std::uint64_t caught = 0;
  ignoring.whileRunning = [&](pid_t pid) {
    const int input = ::open((dir / "input").c_str(), O_WRONLY);
    const std::uint64_t term = std::uint64_t{1} << (SIGTERM - 1);
    for (int tries = 0; tries < 10000 && (signalMask(pid, "SigCgt") & term) == 0; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ignored = signalMask(pid, "SigIgn");
    caught = signalMask(pid, "SigCgt");
    ::kill(pid, SIGINT);
    (void)!::write(input, "q\n", 2);
    ::close(input);
  };
  const RunResult run = runTool({"-f", "-", "demo.iso"}, "", dir.path(), ignoring);
  const std::uint64_t interrupt = std::uint64_t{1} << (SIGINT - 1);
  EXPECT_NE(caught & (std::uint64_t{1} << (SIGTERM - 1)), 0u);
  EXPECT_NE(ignored & interrupt, 0u);
  EXPECT_EQ(caught & interrupt, 0u);
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace discshell::testing
