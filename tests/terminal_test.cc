// The shell at a terminal, driven through a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "session_harness.h"

namespace discshell::testing {
namespace {

class Terminal {
 public:
  /// With `sentinel`, the tool runs as the child of a process in its own
  /// process group, which shows the tool's process number, outlives it, and
  /// exits with 100 + the signal that ended it (or the tool's status).
  explicit Terminal(const std::string& directory, bool sentinel = false) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ != 0) return;
    ::setenv("TERM", "xterm", 1);
    const pid_t tool = sentinel ? ::fork() : 0;
    if (tool == 0 && ::chdir(directory.c_str()) == 0) {
      ::execl(DISCSHELL_BINARY, DISCSHELL_BINARY, "demo.iso", static_cast<char*>(nullptr));
    }
    if (tool <= 0) ::_exit(127);
    const std::string shown = "tool " + std::to_string(tool) + "\n";
    (void)!::write(STDOUT_FILENO, shown.data(), shown.size());
    int status = 0;
    ::waitpid(tool, &status, 0);
    ::_exit(WIFSIGNALED(status) ? 100 + WTERMSIG(status) : WEXITSTATUS(status));
  }
  ~Terminal() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  /// Types `keys` once the tool reads keys one at a time (the line editor
  /// has taken the terminal out of line mode: keys typed before that are
  /// read by the terminal's own line discipline, which swallows Ctrl-D),
  /// then reads until the screen shows `expected`. Every wait is bounded.
  bool type(const std::string& keys, const std::string& expected, bool editor) {
    if (editor && !waitUntil([&] { return !inLineMode(); })) return false;
    if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      return false;
    }
    if (!waitUntil([&] { return screen_.find(expected, seen_) != std::string::npos; })) {
      return false;
    }
    seen_ = screen_.find(expected, seen_) + expected.size();
    return true;
  }
  [[nodiscard]] bool started() const { return pid_ > 0; }
  /// The tool's exit status, or -1 when it has not ended within the bound.
  int exitStatus() {
    int status = -1;
    if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& screen() const { return screen_; }
  /// The tool's process number as the sentinel shows it.
  pid_t toolProcess() {
    waitUntil([&] { return screen_.find('\n') != std::string::npos; });
    return static_cast<pid_t>(std::atoi(screen_.c_str() + 5));
  }
  [[nodiscard]] bool inLineMode() const {
    termios settings{};
    return ::tcgetattr(master_, &settings) != 0 || (settings.c_lflag & ICANON) != 0;
  }
  // Reads what the tool shows until `done` holds, for at most 10 seconds.
  template <typename Condition>
  bool waitUntil(Condition done);

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string screen_;
  std::size_t seen_ = 0;
};

template <typename Condition>
bool Terminal::waitUntil(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{master_, POLLIN, 0};
    char buffer[4096];
    const ssize_t got = ::poll(&ready, 1, 10) > 0 && (ready.revents & POLLIN) != 0
                            ? ::read(master_, buffer, sizeof buffer)
                            : 0;
    if (got > 0) {
      screen_.append(buffer, static_cast<std::size_t>(got));
    } else {
      ::usleep(1000);  // the other side has closed: nothing more to read
    }
  }
  return true;
}

// With the line editor: Tab completes a path component and a name (for m
// too), Up repeats the last line, and a wrong line gets a hint. Without it
// the same session works with lines typed out.
TEST(Terminal, CompletesRecallsAndEndsWithControlD) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const bool editor = DISCSHELL_HAVE_LIBEDIT;
  Terminal terminal(dir.path());
  if (!terminal.started()) GTEST_SKIP() << "this machine gives no pseudo-terminal";
  const std::string guide = "c NAME enters a directory, c .. leaves it.";
  const auto step = [&](const std::string& keys, const std::string& expected) {
    return terminal.type(keys, expected, editor);
  };
  ASSERT_TRUE(step("", "?>")) << terminal.screen();
  ASSERT_TRUE(step(editor ? "c do\t\r" : "c docs/\r", "Entering docs/:")) << terminal.screen();
  ASSERT_TRUE(step(editor ? "p gu\t\r" : "p guide.txt\r", guide)) << terminal.screen();
  ASSERT_TRUE(step(editor ? "\x1b[A\r" : "p guide.txt\r", guide)) << terminal.screen();
  if (DISCSHELL_HAVE_CHECKSUMS) {
    ASSERT_TRUE(step(editor ? "m gu\t\r" : "m guide.txt\r", "  guide.txt\r\n?>"))
        << terminal.screen();
  }
  ASSERT_TRUE(
      step("zz\r", editor ? "Invalid command\r\nType h for help.\r\n?>" : "Invalid command?>"))
      << terminal.screen();
  ASSERT_TRUE(step("\x04", "Exiting...\r\n")) << terminal.screen();
  EXPECT_EQ(terminal.exitStatus(), 0) << terminal.screen();
}

// At the editor's prompt Ctrl-C drops the line typed so far, and a signal
// sent to the tool alone ends the tool alone, with the terminal restored.
TEST(Terminal, ControlCDropsTheLineAndSignalsReachNoOtherProcess) {
  if (!DISCSHELL_HAVE_LIBEDIT) GTEST_SKIP() << "built without the line editor";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  {
    Terminal terminal(dir.path(), true);
    ASSERT_TRUE(terminal.type("", "?>", true)) << terminal.screen();
    ASSERT_TRUE(terminal.type("hello\x03", "^C\r\n?>", true)) << terminal.screen();
    ASSERT_TRUE(terminal.type("q\r", "Exiting...", true)) << terminal.screen();
    EXPECT_EQ(terminal.exitStatus(), 0) << terminal.screen();
  }
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
    Terminal terminal(dir.path(), true);
    const pid_t tool = terminal.toolProcess();
    ASSERT_TRUE(terminal.type("", "?>", true)) << terminal.screen();
    ASSERT_GT(tool, 0);
    ::kill(tool, signal);
    EXPECT_TRUE(terminal.waitUntil([&] { return terminal.inLineMode(); })) << signal;
    EXPECT_EQ(terminal.exitStatus(), 100 + signal) << terminal.screen();
  }
}

}  // namespace
}  // namespace discshell::testing
