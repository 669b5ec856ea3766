#include "console/session.h"

#include "platform/utf8.h"

namespace discshell {
namespace {

// Appends what a terminal may show of `text` to `shown`; with `keepLayout`
// line feeds and tabs pass too. When more text follows, a sequence that
// `text` cuts short is left for it; returns how many bytes were taken.
std::size_t showOnTerminal(std::string_view text, bool keepLayout, bool moreFollows,
                           std::string& shown) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      const bool layout = keepLayout && (byte == '\n' || byte == '\t');
      shown.push_back((byte < 0x20 && !layout) || byte == 0x7F ? '?' : text[i]);
      ++i;
      continue;
    }
    const platform::Utf8Sequence sequence = platform::utf8Sequence(text.substr(i));
    if (sequence.cut && moreFollows) break;
    if (sequence.length == 0) {
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
  showOnTerminal(text, false, false, shown);
  return shown;
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
  waiting_ = text.substr(showOnTerminal(text, true, true, shown));
  return shown;
}

std::string DisplayStream::finish() {
  std::string shown;
  showOnTerminal(waiting_, true, false, shown);
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

void Session::warn(std::string_view message) {
  const bool failedBefore = failed;
  fail(message);
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
