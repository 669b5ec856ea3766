// The shell at a terminal, driven through a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <csignal>

#include "session_harness.h"

namespace discshell::testing {
namespace {

class Terminal {
 public:
  /// With `sentinel`, the tool runs as the child of a process in its own
  /// process group, which shows the tool's process number, outlives it, and
  /// exits with 100 + the signal that ended it (or the tool's status).
  /// `locale`, when given, is the terminal's LANG.
  explicit Terminal(const std::string& directory, bool sentinel = false,
                    const char* locale = nullptr) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ != 0) return;
    ::setenv("TERM", "xterm", 1);
    if (locale != nullptr) ::setenv("LANG", locale, 1);
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

// In a UTF-8 terminal names are typed, edited, recalled and completed
// whole: accented letters, a CJK character, and a byte that is not UTF-8,
// which the listing shows as "%E9" and which is typed so.
TEST(Terminal, TypesAndCompletesNamesInUtf8AndBytesThatAreNot) {
  if (!DISCSHELL_HAVE_LIBEDIT) GTEST_SKIP() << "built without the line editor";
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale here";
  std::setlocale(LC_CTYPE, "C");
  ScratchDir dir;
  tools::ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, "ACUTE\n");
  image.data(5, "UMLAUT\n");
  image.data(6, "KANJI\n");
  image.data(7, "LATIN1\n");
  image.directory(1, {{"odd", "DIR", 512, 2}});
  image.directory(2, {{"Qu\xc3\xa9.txt", "TEXT", 6, 4},
                      {"\xc3\xbc"
                       "ber.txt",
                       "TEXT", 7, 5},
                      {"\xe6\x97\xa5\xe6\x9c\xac.txt", "TEXT", 6, 6},
                      {"caf\xe9.txt", "TEXT", 7, 7}});
  image.save(dir / "demo.iso");
  Terminal terminal(dir.path(), false, "C.UTF-8");
  if (!terminal.started()) GTEST_SKIP() << "this machine gives no pseudo-terminal";
  const auto step = [&](const std::string& keys, const std::string& expected) {
    return terminal.type(keys, expected, true);
  };
  ASSERT_TRUE(step("", "?>")) << terminal.screen();
  ASSERT_TRUE(step("c odd\r", "Entering odd:")) << terminal.screen();
  ASSERT_TRUE(step("l\r", "caf%E9.txt")) << terminal.screen();
  ASSERT_TRUE(step("p Qu\xc3\xa9.txt\r", "ACUTE\r\n?>")) << terminal.screen();
  // Backspace takes a whole character.
  ASSERT_TRUE(step("p Qu\xc3\xa9\xc3\xbc\x7f.txt\r", "ACUTE\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("p \xc3\xbc\t\r", "UMLAUT\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("p \xe6\x97\xa5\t\r", "KANJI\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("p caf%E9.txt\r", "LATIN1\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("p c\t\r", "LATIN1\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("\x1b[A\x1b[A\x1b[A\r", "KANJI\r\n?>")) << terminal.screen();
  ASSERT_TRUE(step("q\r", "Exiting...")) << terminal.screen();
  EXPECT_EQ(terminal.exitStatus(), 0) << terminal.screen();
}

// Ctrl-D with changes pending warns first, as q does, and a second one
// leaves; meanwhile l and t mark what the changes do.
TEST(Terminal, ControlDWithChangesPendingWarnsFirst) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const bool editor = DISCSHELL_HAVE_LIBEDIT;
  Terminal terminal(dir.path());
  if (!terminal.started()) GTEST_SKIP() << "this machine gives no pseudo-terminal";
  const auto step = [&](const std::string& keys, const std::string& expected) {
    return terminal.type(keys, expected, editor);
  };
  ASSERT_TRUE(step("", "?>")) << terminal.screen();
  ASSERT_TRUE(step("e hello.txt\r", "?>")) << terminal.screen();
  ASSERT_TRUE(step("\x04",
                   "1 change is not written: w writes it, or press Ctrl-D again to leave "
                   "without it.\r\n?>"))
      << terminal.screen();
  ASSERT_TRUE(step("l\r", "21     (erased: w writes it)\r\n")) << terminal.screen();
  ASSERT_TRUE(step("\x04", "1 change was not written.\r\nExiting...\r\n")) << terminal.screen();
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
