// How far a long command has got. The copy loop and the comparisons report
// every byte they move to the observer of the command that runs, if any;
// the console decides whether and how to show it.
#pragma once

#include <cstdint>

namespace discshell {

class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  virtual void bytesDone(std::int64_t bytes) = 0;
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

}  // namespace discshell
