// The shell at a terminal, driven through a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "session_harness.h"

namespace discshell::testing {
namespace {

class Terminal {
 public:
  explicit Terminal(const std::string& directory) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::setenv("TERM", "xterm", 1);
      if (::chdir(directory.c_str()) == 0) {
        ::execl(DISCSHELL_BINARY, DISCSHELL_BINARY, "demo.iso", static_cast<char*>(nullptr));
      }
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (master_ >= 0) ::close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  /// Types `keys`, then reads until the screen shows `expected` (or 10 s pass).
  bool type(const std::string& keys, const std::string& expected) {
    if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      return false;
    }
    for (int waited = 0; screen_.find(expected, seen_) == std::string::npos; ++waited) {
      pollfd ready{master_, POLLIN, 0};
      char buffer[4096];
      if (waited > 100 || ::poll(&ready, 1, 100) < 0) return false;
      const ssize_t got = ready.revents != 0 ? ::read(master_, buffer, sizeof buffer) : 0;
      if (got > 0) screen_.append(buffer, static_cast<std::size_t>(got));
    }
    seen_ = screen_.find(expected, seen_) + expected.size();
    return true;
  }
  [[nodiscard]] bool started() const { return pid_ > 0; }
  int exitStatus() {
    int status = -1;
    ::waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& screen() const { return screen_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
  std::size_t seen_ = 0;
};

// With the line editor: Tab completes a path component and a name, Up
// repeats the last line, and a wrong line gets a hint. Without it the same
// session works with lines typed out.
TEST(Terminal, CompletesRecallsAndEndsWithControlD) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const bool editor = DISCSHELL_HAVE_LIBEDIT;
  Terminal terminal(dir.path());
  if (!terminal.started()) GTEST_SKIP() << "this machine gives no pseudo-terminal";
  const std::string guide = "c NAME enters a directory, c .. leaves it.";
  EXPECT_TRUE(terminal.type("", "?>"));
  EXPECT_TRUE(terminal.type(editor ? "c do\t\r" : "c docs/\r", "Entering docs/:"));
  EXPECT_TRUE(terminal.type(editor ? "p gu\t\r" : "p guide.txt\r", guide));
  EXPECT_TRUE(terminal.type(editor ? "\x1b[A\r" : "p guide.txt\r", guide));
  EXPECT_TRUE(terminal.type(
      "zz\r", editor ? "Invalid command\r\nType h for help.\r\n?>" : "Invalid command?>"));
  EXPECT_TRUE(terminal.type("\x04", "Exiting...\r\n"));
  EXPECT_EQ(terminal.exitStatus(), 0) << terminal.screen();
}

}  // namespace
}  // namespace discshell::testing
