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

BatchLines::BatchLines(std::vector<std::string> lines, std::vector<std::istream*> then)
    : lines_(std::move(lines)), streams_(std::move(then)) {}

std::optional<std::string> BatchLines::next() {
  if (nextLine_ < lines_.size()) return lines_[nextLine_++];
  for (;;) {
    if (!current_) {
      if (nextStream_ == streams_.size()) return std::nullopt;
      current_.emplace(*streams_[nextStream_++]);
    }
    if (auto line = current_->next()) return line;
    current_.reset();
  }
}

}  // namespace discshell
