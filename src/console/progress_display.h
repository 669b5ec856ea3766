// The progress line: shown on standard error, when that is a terminal, once
// a command has run for a second; erased when it ends or prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>

#include "transfer/progress.h"

namespace discshell {

class ProgressDisplay final : public ProgressObserver {
 public:
  /// `terminal`: standard error when it is a terminal; null: never shown.
  /// The line appears once a command has run for `quietStart`.
  explicit ProgressDisplay(std::ostream* terminal,
                           std::chrono::milliseconds quietStart = std::chrono::seconds(1))
      : terminal_(terminal), quietStart_(quietStart) {}

  /// A command starts; `total` is how many bytes it will move, where known.
  void start(std::optional<std::int64_t> total, bool countsFiles);
  void bytesDone(std::int64_t bytes) override;
  void fileDone();
  /// Takes the line off the screen, before the command prints.
  void erase();
  /// The command has ended: the line goes, and shows no more.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;
  void draw();

  std::ostream* terminal_;
  std::chrono::milliseconds quietStart_;
  Clock::time_point started_{};
  Clock::time_point drawn_{};
  std::optional<std::int64_t> total_;
  std::int64_t bytes_ = 0;
  std::int64_t files_ = 0;
  bool countsFiles_ = false;
  bool running_ = false;
  std::size_t shownWidth_ = 0;
};

/// Shows the progress of one command while it lives.
class ProgressRun {
 public:
  ProgressRun(ProgressDisplay* display, std::optional<std::int64_t> total,
              bool countsFiles = false);
  ~ProgressRun();
  ProgressRun(const ProgressRun&) = delete;
  ProgressRun& operator=(const ProgressRun&) = delete;

 private:
  ProgressDisplay* display_;
  ProgressScope scope_;
};

}  // namespace discshell
