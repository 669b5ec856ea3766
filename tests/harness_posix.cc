// The session harness on POSIX: the tool runs as a child by fork and exec.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "session_harness.h"

namespace discshell::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "discshell-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

namespace {

// The child's side: descriptors, limits and user, then the tool.
[[noreturn]] void execTool(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& input, const std::string& errorsPath, int outputFd,
                           const std::string& workingDirectory, const ToolOptions& options) {
  if (options.ignoredSignal != 0) std::signal(options.ignoredSignal, SIG_IGN);
  const int in = ::open(input.c_str(), O_RDONLY);
  const int err = ::open(errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(outputFd, 1) < 0 || ::dup2(err, 2) < 0 ||
      ::chdir(workingDirectory.c_str()) != 0) {
    ::_exit(127);
  }
  if (options.errorsToOutput && ::dup2(1, 2) < 0) ::_exit(127);
  if (options.closeInput) ::close(0);
  if (options.outputPath == "-") ::close(1);
  if (options.fileSizeLimit) {
    const rlimit limit{static_cast<rlim_t>(*options.fileSizeLimit),
                       static_cast<rlim_t>(*options.fileSizeLimit)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
  }
  if (options.asNobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    ::_exit(127);
  }
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(binary.c_str(), argv.data());
  const int error = errno;
  const std::string why = "cannot run " + binary + ": " + std::strerror(error) + "\n";
  static_cast<void>(::write(2, why.data(), why.size()));
  ::_exit(error == EACCES ? kCannotExecute : 127);
}

}  // namespace

RunResult runTool(const std::vector<std::string>& args, const std::string& script,
                  const std::string& workingDirectory, const ToolOptions& options) {
  ScratchDir io;
  ::chmod(io.path().c_str(), 0755);  // reachable for nobody too
  std::string binary = DISCSHELL_BINARY;
  if ((options.asNobody && ::geteuid() == 0) || options.privateCopy) {
    // The build tree may lie where nobody cannot enter (a clone in a 0700
    // directory); a copy beside the scratch files can always be run, and
    // no link of the build tree's binary beside the tests reaches it.
    binary = io / "discshell";
    std::filesystem::copy_file(DISCSHELL_BINARY, binary);
    ::chmod(binary.c_str(), 0755);
  }
  writeFile(io / "stdin", script);
  // Standard output goes through a pipe, which no file-size limit cuts short.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const int outputFd = options.outputPath.empty() || options.outputPath == "-"
                           ? pipeFds[1]
                           : ::open(options.outputPath.c_str(), O_WRONLY);
  const pid_t child = ::fork();
  if (child == 0) {
    execTool(binary, args, options.inputPath.empty() ? io / "stdin" : options.inputPath,
             io / "stderr", outputFd, workingDirectory, options);
  }
  ::close(pipeFds[1]);
  if (outputFd != pipeFds[1]) ::close(outputFd);
  if (options.whileRunning) options.whileRunning(child);
  RunResult result;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int wstatus = 0;
  rusage usage{};
  ::wait4(child, &wstatus, 0, &usage);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  result.peakKiB = usage.ru_maxrss;
  result.errors = readFile(io / "stderr").value_or("");
  recordRun(workingDirectory, result);
  return result;
}

bool inChildProcess(const std::function<void()>& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    work();
    ::_exit(0);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace discshell::testing
