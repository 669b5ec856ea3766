#include "console/line_source.h"

#include <limits>

namespace discshell {

std::optional<std::string> StreamLines::next() {
  in_.getline(buffer_.get(), kKeptLineLength + 1);
  const auto extracted = static_cast<std::size_t>(in_.gcount());
  if (in_.bad() || (extracted == 0 && in_.eof())) return std::nullopt;
  if (in_.fail()) {
    // Longer than what is kept: read on to the line end, keep the prefix.
    in_.clear();
    in_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    std::string line(buffer_.get(), kKeptLineLength);
    line.push_back('\0');
    return line;
  }
  const bool endedByLineFeed = !in_.eof();
  std::string line(buffer_.get(), endedByLineFeed ? extracted - 1 : extracted);
  if (endedByLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

BatchLines::BatchLines(std::vector<std::string> lines, std::vector<Script> scripts)
    : lines_(std::move(lines)), scripts_(std::move(scripts)) {}

std::optional<std::string> BatchLines::next() {
  if (nextLine_ < lines_.size()) {
    origin_ = "-c " + std::to_string(nextLine_ + 1);
    return lines_[nextLine_++];
  }
  for (;;) {
    if (!current_) {
      if (nextScript_ == scripts_.size()) return std::nullopt;
      current_.emplace(*scripts_[nextScript_++].lines);
      lineNumber_ = 0;
    }
    auto line = current_->next();
    if (!line) {
      current_.reset();
      continue;
    }
    ++lineNumber_;
    if (line->empty() || line->front() == '#') continue;
    origin_ = scripts_[nextScript_ - 1].name + ":" + std::to_string(lineNumber_);
    return line;
  }
}

}  // namespace discshell
