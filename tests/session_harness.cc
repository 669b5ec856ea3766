#include "session_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "console/startup.h"
#include "platform/platform.h"

namespace discshell::testing {

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // A session run in this process with -C may have made it the current
  // directory, which Windows does not remove.
  if (std::filesystem::equivalent(std::filesystem::current_path(ignored), path_, ignored)) {
    std::filesystem::current_path(std::filesystem::temp_directory_path(ignored), ignored);
  }
  std::filesystem::remove_all(path_, ignored);
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

namespace {

std::string withoutScratchPath(std::string text, const std::string& path) {
  for (std::size_t at; !path.empty() && (at = text.find(path)) != std::string::npos;) {
    text.replace(at, path.size(), "<dir>");
  }
  return text;
}

}  // namespace

void recordRun(const std::string& workingDirectory, const RunResult& result) {
  const char* top = std::getenv("DISCSHELL_RECORD_OUTPUTS");
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (top == nullptr || *top == '\0' || test == nullptr) return;
  static std::map<std::string, int> runs;
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  namespace fs = std::filesystem;
  const fs::path record = fs::path(top) / name / std::to_string(runs[name]++);
  fs::create_directories(record / "files");
  writeFile((record / "status").string(),
            std::to_string(result.status) + " " + std::to_string(result.signal) + "\n");
  writeFile((record / "stdout").string(), withoutScratchPath(result.output, workingDirectory));
  writeFile((record / "stderr").string(), withoutScratchPath(result.errors, workingDirectory));
  std::error_code error;
  for (fs::recursive_directory_iterator it(workingDirectory, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_regular_file(error) || it->file_size(error) > (16u << 20)) continue;
    const fs::path copy = record / "files" / fs::relative(it->path(), workingDirectory, error);
    fs::create_directories(copy.parent_path(), error);
    fs::copy_file(it->path(), copy, fs::copy_options::overwrite_existing, error);
  }
}

bool makeSymbolicLink(const std::string& target, const std::string& path) {
  const std::filesystem::path link(path);
  std::error_code error;
  // Windows tells links to directories from links to files.
  if (std::filesystem::is_directory(link.parent_path() / target, error)) {
    std::filesystem::create_directory_symlink(target, link, error);
  } else {
    std::filesystem::create_symlink(target, link, error);
  }
  return !error && std::filesystem::is_symlink(std::filesystem::symlink_status(link, error));
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(platform::fileSystemPath(path), std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(platform::fileSystemPath(path), std::ios::binary | std::ios::trunc);
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
