// Helpers for tests that run whole sessions: a scratch directory, the built
// tool run as a child process on a script, and small file helpers. The
// child is started by harness_posix.cc or harness_windows.cc.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/image_builder.h"

namespace discshell::testing {

/// Windows has no permission bits, file-size limits, other users to run as
/// or /dev/full; the tests of those skip there.
inline constexpr bool kWindows = DISCSHELL_WINDOWS;

/// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// The exit status of a child that could not run the tool for lack of permission.
inline constexpr int kCannotExecute = 126;

struct RunResult {
  std::string output;  ///< all of standard output
  std::string errors;  ///< all of standard error
  int status = -1;     ///< exit status, or -1 when the tool did not exit normally
  int signal = 0;      ///< the signal that ended it, if one did (POSIX)
  long peakKiB = 0;    ///< its peak resident memory (POSIX)
};

struct ToolOptions {
  std::optional<long> fileSizeLimit;  ///< no file may grow beyond it (as on a full disk)
  bool closeInput = false;            ///< start with descriptor 0 closed
  std::string inputPath;              ///< standard input from this file, not the script
  std::string outputPath;             ///< standard output to this file; "-": closed
  bool errorsToOutput = false;        ///< standard error to where standard output goes
  bool asNobody = false;              ///< when run as root, run as the user nobody
  /// Run a copy of the tool made for this run, so that a build beside the
  /// tests that links the tool anew cannot take it away mid-test (POSIX).
  bool privateCopy = false;
  int ignoredSignal = 0;                  ///< a signal the tool starts with ignored
  std::function<void(int)> whileRunning;  ///< called with its process id once it has started
};

/// Runs the built discshell in `workingDirectory` with `args` after the
/// program name and `script` as its standard input.
RunResult runTool(const std::vector<std::string>& args, const std::string& script,
                  const std::string& workingDirectory, const ToolOptions& options = {});

/// When DISCSHELL_RECORD_OUTPUTS names a directory, keeps there what a run
/// left: its status, standard output and error (the scratch path written as
/// "<dir>") and a copy of every file of up to 16 MiB in its directory, under
/// the test's name and the run's number in it. Comparing two such records
/// (tools/fingerprint_outputs.sh) shows that a change left every output of
/// every session alike.
void recordRun(const std::string& workingDirectory, const RunResult& result);

/// Runs `work` in a child process where there is fork, so that this
/// process's memory stays as it was (Windows: here); false when it failed.
bool inChildProcess(const std::function<void()>& work);

/// Saves `image` as `name` in `dir` and runs the tool on it with `script`.
RunResult runOnImage(const tools::ImageBuilder& image, const std::string& script,
                     const ScratchDir& dir, const std::string& name = "image.iso");

/// The same session in this process, through the library, with standard
/// output taken as a terminal or not.
RunResult runInProcess(const std::vector<std::string>& args, const std::string& script,
                       bool terminalOutput);

/// Makes `path` a symbolic link to `target` (relative to the link's
/// directory); false where the system makes none that the tool would see.
[[nodiscard]] bool makeSymbolicLink(const std::string& target, const std::string& path);
inline const char* const kNoSymbolicLinks =
    "symbolic links cannot be made here (Windows needs a privilege, Wine makes none)";

[[nodiscard]] std::optional<std::string> readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
[[nodiscard]] bool exists(const std::string& path);
/// Names in a directory, sorted, without "." and "..".
[[nodiscard]] std::vector<std::string> listNames(const std::string& directory);

/// Failure messages as batch mode prints them: each line led by
/// "discshell: ORIGIN: ", where ORIGIN says which command failed ("-c 1").
[[nodiscard]] std::string batchErrors(const std::string& origin, const std::string& lines);

/// Transcript pieces that many sessions share.
[[nodiscard]] std::string summary(int volumeSize, int blockSize, int rootOffset);
inline const std::string kListingHeading =
    "\nName                            Type  Size             Block Address\n\n";
/// One listing line, laid out with the columns the listing uses.
[[nodiscard]] std::string listingLine(const std::string& name, const std::string& type,
                                      long long byteCount, int startBlock);

}  // namespace discshell::testing
