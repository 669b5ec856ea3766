#include "console/session.h"

#include "platform/utf8.h"

namespace discshell {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

enum class Shown { kName, kData };

// Appends what a terminal may show of `text` to `shown`. In data line feeds
// and tabs pass too; in a name (and any text of ours) a byte that is not
// part of valid UTF-8 shows as "%XX", which can be typed back. When more
// text follows, a sequence that `text` cuts short is left for it; returns
// how many bytes were taken.
std::size_t showOnTerminal(std::string_view text, Shown kind, bool moreFollows,
                           std::string& shown) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      const bool layout = kind == Shown::kData && (byte == '\n' || byte == '\t');
      shown.push_back((byte < 0x20 && !layout) || byte == 0x7F ? '?' : text[i]);
      ++i;
      continue;
    }
    const platform::Utf8Sequence sequence = platform::utf8Sequence(text.substr(i));
    if (sequence.cut && moreFollows) break;
    if (sequence.length == 0 && kind == Shown::kName) {
      shown.append({'%', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]});
      ++i;
    } else if (sequence.length == 0) {
      shown.push_back(byte <= 0x9F ? '?' : text[i]);
      ++i;
    } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      shown.push_back('?');  // a C1 control, U+0080 to U+009F
      i += sequence.length;
    } else {
      shown.append(text.substr(i, sequence.length));
      i += sequence.length;
    }
  }
  return i;
}

}  // namespace

std::string displayText(std::string_view text, bool terminalOutput) {
  if (!terminalOutput) return std::string(text);
  std::string shown;
  shown.reserve(text.size());
  showOnTerminal(text, Shown::kName, false, shown);
  return shown;
}

std::string typedName(std::string_view name) {
  std::string typed;
  typed.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const std::size_t length = byte < 0x80 ? 1 : platform::utf8Sequence(name.substr(i)).length;
    if (length == 0) {
      typed.append({'%', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]});
      ++i;
    } else {
      typed.append(name.substr(i, length));
      i += length;
    }
  }
  return typed;
}

namespace {

// The byte "%XX" at the start of `text` stands for, when it is one of 0x80 to 0xFF.
std::optional<char> escapedByte(std::string_view text) {
  const auto digit = [](char c) {
    const auto at = kHexDigits.find(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
  };
  if (text.size() < 3 || text[0] != '%' || digit(text[1]) < 8 || digit(text[2]) < 0) {
    return std::nullopt;
  }
  return static_cast<char>(digit(text[1]) * 16 + digit(text[2]));
}

}  // namespace

std::string typedText(std::string_view line) {
  std::string text;
  text.reserve(line.size());
  for (std::size_t i = 0; i < line.size();) {
    std::string bytes;
    std::size_t end = i;
    for (auto byte = escapedByte(line.substr(end)); byte; byte = escapedByte(line.substr(end))) {
      bytes.push_back(*byte);
      end += 3;
    }
    if (bytes.empty()) {
      text.push_back(line[i++]);
      continue;
    }
    bool noneValid = true;
    for (std::size_t k = 0; k < bytes.size() && noneValid; ++k) {
      noneValid = platform::utf8Sequence(std::string_view(bytes).substr(k)).length == 0;
    }
    text.append(noneValid ? std::string_view(bytes) : line.substr(i, end - i));
    i = end;
  }
  return text;
}

std::string DisplayStream::add(std::string_view piece) {
  if (!terminal_) return std::string(piece);
  std::string joined;
  std::string_view text = piece;
  if (!waiting_.empty()) {
    joined = std::move(waiting_);
    text = joined.append(piece);
  }
  std::string shown;
  shown.reserve(text.size());
  waiting_ = text.substr(showOnTerminal(text, Shown::kData, true, shown));
  return shown;
}

std::string DisplayStream::finish() {
  std::string shown;
  showOnTerminal(waiting_, Shown::kData, false, shown);
  waiting_.clear();
  return shown;
}

std::string Session::shown(std::string_view text) const {
  return displayText(text, terminalOutput);
}

void Session::fail(std::string_view message) { fail("", message); }

std::optional<platform::Directory> Session::localDirectory() {
  auto directory = platform::Directory::current();
  if (!directory) fail("Could not open the local directory.\n");
  return directory;
}

void Session::warn(std::string_view message) { warn("", message); }

void Session::warn(std::string_view subject, std::string_view message) {
  const bool failedBefore = failed;
  fail(subject, message);
  failed = failedBefore;
}

void Session::fail(std::string_view subject, std::string_view message) {
  // Kept in order with what went to standard output when both are one file.
  if (&errors != &out) out.flush();
  if (batch && !commandOrigin.empty()) {
    errors << "discshell: " << displayText(commandOrigin, terminalErrors) << ": ";
  }
  if (!subject.empty()) errors << displayText(subject, terminalErrors) << ": ";
  errors << message;
  if (&errors != &out) errors.flush();
  failed = true;
}

}  // namespace discshell
