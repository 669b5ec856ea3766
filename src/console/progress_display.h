// The progress line: shown on standard error, when that is a terminal, once
// a command has run for a second; erased when it ends or prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "bytes/progress.h"

namespace discshell {

/// What a command will go through, as far as it is known before it starts.
struct ProgressTotal {
  std::optional<std::int64_t> bytes;  ///< the bytes it moves
  std::optional<std::int64_t> files;  ///< the files it goes through, where it counts them
};

/// A size as the line shows it: "1023 B", "1.0 KiB" for 1,024 bytes, "1.0
/// MiB" for 1,048,576 (and for what would round to "1024.0 KiB").
[[nodiscard]] std::string progressSize(double bytes);

class ProgressDisplay final : public ProgressObserver {
 public:
  /// `terminal`: standard error when it is a terminal; null: never shown.
  /// The line appears once a command has run for `quietStart`, names a file
  /// that has taken that long, and is drawn anew at most every `redrawEvery`.
  explicit ProgressDisplay(std::ostream* terminal,
                           std::chrono::milliseconds quietStart = std::chrono::seconds(1),
                           std::chrono::milliseconds redrawEvery = std::chrono::milliseconds(100))
      : terminal_(terminal), quietStart_(quietStart), redrawEvery_(redrawEvery) {}

  /// Whether the line can show at all (a total is worth working out).
  [[nodiscard]] bool shows() const { return terminal_ != nullptr; }
  /// A command starts.
  void start(const ProgressTotal& total);
  void bytesDone(std::int64_t bytes) override;
  void fileStarted(std::string_view path) override;
  void fileDone() override;
  /// Takes the line off the screen, before the command prints.
  void erase();
  /// The command has ended: the line goes, and shows no more.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;
  void draw();
  [[nodiscard]] std::string line(Clock::time_point now) const;

  std::ostream* terminal_;
  std::chrono::milliseconds quietStart_;
  std::chrono::milliseconds redrawEvery_;
  Clock::time_point started_{};
  Clock::time_point drawn_{};
  ProgressTotal total_;
  std::int64_t bytes_ = 0;
  std::int64_t files_ = 0;
  std::string file_;  ///< the file being worked on; empty between files
  Clock::time_point fileStarted_{};
  bool running_ = false;
  std::size_t shownWidth_ = 0;  ///< columns the line on the screen takes, at most
};

/// Shows the progress of one command while it lives.
class ProgressRun {
 public:
  ProgressRun(ProgressDisplay* display, const ProgressTotal& total);
  /// `total` is worked out only where the line can show.
  ProgressRun(ProgressDisplay* display, const std::function<ProgressTotal()>& total);
  ~ProgressRun();
  ProgressRun(const ProgressRun&) = delete;
  ProgressRun& operator=(const ProgressRun&) = delete;

 private:
  ProgressDisplay* display_;
  ProgressScope scope_;
};

}  // namespace discshell
