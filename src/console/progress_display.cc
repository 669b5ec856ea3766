#include "console/progress_display.h"

#include <algorithm>
#include <cstdio>

#include "console/session.h"

namespace discshell {
namespace {

// The line stays within this many columns, so that it never wraps on an
// 80-column terminal and "\r" can always take it back.
constexpr std::size_t kMostColumns = 78;

// Columns a shown text may take: a character outside ASCII is counted as
// two, as the widest ones are, so the estimate is never short.
std::size_t columns(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      ++count;
    } else if (byte >= 0xC0) {
      count += 2;
    }
  }
  return count;
}

// The end of `path` that fits in `room` columns, "..." in front when cut.
std::string fittingTail(const std::string& path, std::size_t room) {
  if (columns(path) <= room) return path;
  if (room <= 3) return "";
  std::size_t begin = 0;
  while (begin < path.size() && (columns(std::string_view(path).substr(begin)) + 3 > room ||
                                 (static_cast<unsigned char>(path[begin]) & 0xC0) == 0x80)) {
    ++begin;
  }
  return "..." + path.substr(begin);
}

}  // namespace

std::string progressSize(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  // Past 1023.95 of a unit "%.1f" would print 1024.0: the next unit says it.
  while (bytes >= (unit == 0 ? 1024 : 1023.95) && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

void ProgressDisplay::start(const ProgressTotal& total) {
  started_ = Clock::now();
  drawn_ = started_;
  total_ = total;
  bytes_ = 0;
  files_ = 0;
  file_.clear();
  running_ = true;
}

void ProgressDisplay::bytesDone(std::int64_t bytes) {
  bytes_ += bytes;
  draw();
}

void ProgressDisplay::fileStarted(std::string_view path) {
  file_ = path;
  fileStarted_ = Clock::now();
}

void ProgressDisplay::fileDone() {
  ++files_;
  file_.clear();
  draw();
}

std::string ProgressDisplay::line(Clock::time_point now) const {
  // A figure never passes its total, even where a command reads a stretch
  // twice (a comparison that fails half-way, then the copy).
  const std::int64_t bytes = total_.bytes ? std::min(bytes_, *total_.bytes) : bytes_;
  std::string text = progressSize(static_cast<double>(bytes));
  if (total_.bytes && *total_.bytes > 0) {
    text += " of " + progressSize(static_cast<double>(*total_.bytes)) + " (" +
            std::to_string(bytes * 100 / *total_.bytes) + "%)";
  }
  const double seconds = std::max(std::chrono::duration<double>(now - started_).count(), 1e-3);
  text += ", " + progressSize(static_cast<double>(bytes_) / seconds) + "/s";
  if (total_.files) {
    text += ", " + std::to_string(std::min(files_, *total_.files)) + " of " +
            std::to_string(*total_.files) + " files";
  }
  if (!file_.empty() && now - fileStarted_ >= quietStart_ && columns(text) + 2 < kMostColumns) {
    text += ", " + fittingTail(displayText(file_, true), kMostColumns - columns(text) - 2);
  }
  return text;
}

void ProgressDisplay::draw() {
  if (terminal_ == nullptr || !running_) return;
  const Clock::time_point now = Clock::now();
  if (now - started_ < quietStart_ || (shownWidth_ > 0 && now - drawn_ < redrawEvery_)) return;
  drawn_ = now;
  std::string text = line(now);
  // Spaces over what a longer line before left behind.
  const std::size_t width = columns(text);
  if (width < shownWidth_) text.append(shownWidth_ - width, ' ');
  *terminal_ << '\r' << text << std::flush;
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

ProgressRun::ProgressRun(ProgressDisplay* display, const ProgressTotal& total)
    : display_(display), scope_(display) {
  if (display_ != nullptr) display_->start(total);
}

ProgressRun::ProgressRun(ProgressDisplay* display, const std::function<ProgressTotal()>& total)
    : display_(display), scope_(display) {
  if (display_ != nullptr) display_->start(display_->shows() ? total() : ProgressTotal{});
}

ProgressRun::~ProgressRun() {
  if (display_ != nullptr) display_->stop();
}

}  // namespace discshell
