#include "bytes/progress.h"

namespace discshell {
namespace {

ProgressObserver* current = nullptr;

}  // namespace

ProgressScope::ProgressScope(ProgressObserver* observer) : previous_(current) {
  current = observer;
}

ProgressScope::~ProgressScope() { current = previous_; }

void reportProgress(std::int64_t bytes) {
  if (current != nullptr && bytes > 0) current->bytesDone(bytes);
}

void reportFileStarted(std::string_view path) {
  if (current != nullptr) current->fileStarted(path);
}

void reportFileDone() {
  if (current != nullptr) current->fileDone();
}

}  // namespace discshell
