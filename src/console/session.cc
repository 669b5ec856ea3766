#include "console/session.h"

namespace discshell {
namespace {

// The length of the valid UTF-8 sequence at the start of `text` (2 to 4
// bytes; overlong forms, surrogates and code points beyond U+10FFFF are not
// valid), or 0 when there is none.
std::size_t utf8SequenceLength(std::string_view text) {
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
  if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string displayText(std::string_view text, bool terminalOutput) {
  if (!terminalOutput) return std::string(text);
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      shown.push_back(byte < 0x20 || byte == 0x7F ? '?' : text[i]);
      ++i;
      continue;
    }
    const std::size_t length = utf8SequenceLength(text.substr(i));
    if (length == 0) {
      shown.push_back(byte <= 0x9F ? '?' : text[i]);
      ++i;
    } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      shown.push_back('?');  // a C1 control, U+0080 to U+009F
      i += length;
    } else {
      shown.append(text.substr(i, length));
      i += length;
    }
  }
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
  if (!subject.empty()) errors << displayText(subject, terminalErrors) << ": ";
  errors << message;
  if (&errors != &out) errors.flush();
  failed = true;
}

}  // namespace discshell
