#include "console/progress_display.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace discshell {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string size(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

}  // namespace

void ProgressDisplay::start(std::optional<std::int64_t> total, bool countsFiles) {
  started_ = Clock::now();
  drawn_ = started_;
  total_ = total;
  bytes_ = 0;
  files_ = 0;
  countsFiles_ = countsFiles;
  running_ = true;
}

void ProgressDisplay::bytesDone(std::int64_t bytes) {
  bytes_ += bytes;
  draw();
}

void ProgressDisplay::fileDone() {
  ++files_;
  draw();
}

void ProgressDisplay::draw() {
  if (terminal_ == nullptr || !running_) return;
  const Clock::time_point now = Clock::now();
  if (now - started_ < quietStart_ || (shownWidth_ > 0 && now - drawn_ < kRedrawEvery)) return;
  drawn_ = now;
  const double seconds = std::chrono::duration<double>(now - started_).count();
  std::string line = size(static_cast<double>(bytes_));
  if (total_ && *total_ > 0) {
    line += " of " + size(static_cast<double>(*total_)) + " (" +
            std::to_string(bytes_ * 100 / *total_) + "%)";
  }
  line += ", " + size(static_cast<double>(bytes_) / seconds) + "/s";
  if (countsFiles_) line += ", " + std::to_string(files_) + " files";
  // Spaces over what a longer line before left behind.
  const std::size_t width = line.size();
  if (width < shownWidth_) line.append(shownWidth_ - width, ' ');
  *terminal_ << '\r' << line << std::flush;
  shownWidth_ = std::max(width, shownWidth_);
}

void ProgressDisplay::stop() {
  erase();
  running_ = false;
}

void ProgressDisplay::erase() {
  if (terminal_ == nullptr || shownWidth_ == 0) return;
  const std::size_t width = shownWidth_;
  shownWidth_ = 0;
  *terminal_ << '\r' << std::string(width, ' ') << '\r' << std::flush;
}

ProgressRun::ProgressRun(ProgressDisplay* display, std::optional<std::int64_t> total,
                         bool countsFiles)
    : display_(display), scope_(display) {
  if (display_ != nullptr) display_->start(total, countsFiles);
}

ProgressRun::~ProgressRun() {
  if (display_ != nullptr) display_->stop();
}

}  // namespace discshell
