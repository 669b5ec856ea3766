// How far a long command has got. The copy loop and the comparisons report
// every byte they move to the observer of the command that runs, if any,
// and the tree commands each file they go through; the console decides
// whether and how to show it.
#pragma once

#include <cstdint>
#include <string_view>

namespace discshell {

class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  virtual void bytesDone(std::int64_t bytes) = 0;
  /// A file's copy or comparison begins; `path` as the command names it.
  virtual void fileStarted(std::string_view /*path*/) {}
  /// That file is done with, whether it went well or not.
  virtual void fileDone() {}
};

/// While it lives, the bytes of every copy and comparison go to `observer`
/// (the tool runs one command at a time, on one thread).
class ProgressScope {
 public:
  explicit ProgressScope(ProgressObserver* observer);
  ~ProgressScope();
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  ProgressObserver* previous_;
};

/// Called by the loops that move bytes.
void reportProgress(std::int64_t bytes);
/// Called around each file by the commands that go through many.
void reportFileStarted(std::string_view path);
void reportFileDone();

/// Tells of one file: started while it lives, done when it goes.
class FileProgress {
 public:
  explicit FileProgress(std::string_view path) { reportFileStarted(path); }
  ~FileProgress() { reportFileDone(); }
  FileProgress(const FileProgress&) = delete;
  FileProgress& operator=(const FileProgress&) = delete;
};

}  // namespace discshell
