// The session harness on Windows: the tool runs as a child by CreateProcessW,
// its standard streams redirected to files and a pipe.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "platform/platform.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

// Closes a handle on every path; a null one stands for a closed stream.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Handle() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  [[nodiscard]] HANDLE get() const { return handle_; }
  void reset() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

std::wstring wide(const std::string& text) { return platform::fileSystemPath(text).wstring(); }

// Quoted so that CommandLineToArgvW gives `argument` back unchanged:
// backslashes are doubled only in front of a quote or the closing quote.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

HANDLE openInherited(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE handle =
      ::CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return handle;
}

}  // namespace

ScratchDir::ScratchDir() {
  static unsigned counter = 0;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::filesystem::path candidate =
        base / ("discshell-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch directory");
}

RunResult runTool(const std::vector<std::string>& args, const std::string& script,
                  const std::string& workingDirectory, const ToolOptions& options) {
  if (options.fileSizeLimit || options.asNobody || options.ignoredSignal != 0 ||
      options.whileRunning) {
    throw std::logic_error("Windows has no file-size limits, nobody or signals: skip the test");
  }
  ScratchDir io;
  writeFile(io / "stdin", script);
  const Handle input(
      options.closeInput
          ? nullptr
          : openInherited(options.inputPath.empty() ? io / "stdin" : options.inputPath,
                          GENERIC_READ, OPEN_EXISTING));
  const Handle errors(openInherited(io / "stderr", GENERIC_WRITE, CREATE_ALWAYS));
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("no pipe");
  const Handle pipeOutput(readEnd);
  Handle pipeInput(writeEnd);
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  const Handle file(options.outputPath.empty() || options.outputPath == "-"
                        ? nullptr
                        : openInherited(options.outputPath, GENERIC_WRITE, OPEN_EXISTING));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = options.outputPath.empty() ? writeEnd : file.get();
  startup.hStdError = options.errorsToOutput ? startup.hStdOutput : errors.get();
  const std::wstring binary = std::filesystem::absolute(DISCSHELL_BINARY).wstring();
  std::wstring commandLine = L"\"" + binary + L"\"";
  for (const std::string& arg : args) commandLine += L" " + quoted(wide(arg));
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        wide(workingDirectory).c_str(), &startup, &process)) {
    throw std::runtime_error("cannot start " + std::string(DISCSHELL_BINARY));
  }
  const Handle child(process.hProcess);
  const Handle thread(process.hThread);
  pipeInput.reset();  // the child holds the only write end now: its exit ends the reads

  RunResult result;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.output.append(buffer, got);
  }
  ::WaitForSingleObject(child.get(), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(child.get(), &code);
  // Exit codes from 0xC0000000 on are an exception's or Ctrl-C's status.
  result.status = code < 0xC0000000 ? static_cast<int>(code) : -1;
  result.errors = readFile(io / "stderr").value_or("");
  recordRun(workingDirectory, result);
  return result;
}

bool inChildProcess(const std::function<void()>& work) {
  work();
  return true;
}

}  // namespace discshell::testing
