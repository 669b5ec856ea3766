#include "console/session.h"

namespace discshell {
namespace {

// The valid UTF-8 sequence at the start of `text`: its length (2 to 4 bytes;
// overlong forms, surrogates and code points beyond U+10FFFF are not valid),
// or 0 when there is none; `cut` when the text ends inside a sequence that
// is valid so far.
struct Utf8Sequence {
  std::size_t length = 0;
  bool cut = false;
};

Utf8Sequence utf8Sequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i == text.size()) return {0, true};
    if (byte(i) < (i == 1 ? low : 0x80) || byte(i) > (i == 1 ? high : 0xBF)) return {};
  }
  return {length, false};
}

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
    const Utf8Sequence sequence = utf8Sequence(text.substr(i));
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
