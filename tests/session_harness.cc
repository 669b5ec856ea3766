#include "session_harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "console/startup.h"

namespace discshell::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "discshell-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
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
  ::_exit(errno == EACCES ? kCannotExecute : 127);
}

}  // namespace

RunResult runTool(const std::vector<std::string>& args, const std::string& script,
                  const std::string& workingDirectory, const ToolOptions& options) {
  ScratchDir io;
  ::chmod(io.path().c_str(), 0755);  // reachable for nobody too
  std::string binary = DISCSHELL_BINARY;
  if (options.asNobody && ::geteuid() == 0) {
    // The build tree may lie where nobody cannot enter (a clone in a 0700
    // directory); a copy beside the scratch files can always be run.
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
  return result;
}

RunResult runOnImage(const tools::ImageBuilder& image, const std::string& script,
                     const ScratchDir& dir, const std::string& name) {
  image.save(dir / name);
  return runTool({name}, script, dir.path());
}

RunResult runInProcess(const std::vector<std::string>& args, const std::string& script,
                       bool terminalOutput) {
  std::istringstream in(script);
  std::ostringstream out;
  std::ostringstream err;
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Console console{in, out, err, false, terminalOutput, terminalOutput};
  RunResult result;
  result.status = runDiscshell(argv, console);
  result.output = out.str();
  result.errors = err.str();
  return result;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() !=
         std::filesystem::file_type::not_found;
}

std::vector<std::string> listNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string batchErrors(const std::string& origin, const std::string& lines) {
  std::string errors;
  for (std::size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos;
       start = end + 1) {
    errors += "discshell: " + origin + ": " + lines.substr(start, end + 1 - start);
  }
  return errors;
}

std::string summary(int volumeSize, int blockSize, int rootOffset) {
  return "Volume Size: " + std::to_string(volumeSize) +
         " bytes\nBlock Size: " + std::to_string(blockSize) +
         " bytes\nRoot Directory: " + std::to_string(rootOffset) +
         " bytes from start of volume\n\n";
}

std::string listingLine(const std::string& name, const std::string& type, long long byteCount,
                        int startBlock) {
  char line[160];
  std::snprintf(line, sizeof line, "%-31s %-4s  %9lld bytes  %-6d\n", name.c_str(), type.c_str(),
                byteCount, startBlock);
  return line;
}

}  // namespace discshell::testing
