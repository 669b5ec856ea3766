// Standard output and standard error as streams that remember why a write
// failed, so the run can end with that reason instead of losing messages.
#pragma once

#include <array>
#include <functional>
#include <ostream>
#include <streambuf>

#include "platform/platform.h"

namespace discshell {

class StandardOutputBuffer final : public std::streambuf {
 public:
  /// `initialError`: an errno that every write is to fail with, for a
  /// descriptor that was closed when the tool started.
  explicit StandardOutputBuffer(platform::StandardStream stream, int initialError = 0);
  ~StandardOutputBuffer() override;
  StandardOutputBuffer(const StandardOutputBuffer&) = delete;
  StandardOutputBuffer& operator=(const StandardOutputBuffer&) = delete;

  /// The errno of the first failed write; 0 while every write succeeded.
  [[nodiscard]] int error() const { return error_; }
  /// Called before each write to the stream (the progress line makes way).
  void beforeEachWrite(std::function<void()> hook) { beforeWrite_ = std::move(hook); }

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override;

 private:
  bool writeOut(const char* data, std::size_t size);
  bool drain();
  platform::StandardStream stream_;
  int error_;
  std::function<void()> beforeWrite_;
  std::array<char, 64 * 1024> buffer_{};
};

/// Why writes to `stream` fail: the errno its buffer saw, or EIO when the
/// stream does not know.
[[nodiscard]] int streamError(const std::ostream& stream);

}  // namespace discshell
