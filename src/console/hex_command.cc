// o: an entry's bytes as xxd shows them.
#include <array>
#include <limits>

#include "bytes/copy.h"
#include "console/commands.h"

namespace discshell {
namespace {

// What a terminal gets of a file when no COUNT is given: one screenful of
// lines that scroll past is of no use, and a disc's files run to gigabytes.
constexpr std::int64_t kTerminalBytes = 4096;

const char* const kUsage = "Usage: o PATH [OFFSET [COUNT]]\n";

// Lines as xxd prints them: the offset in 8 hexadecimal digits, a colon,
// 16 bytes in groups of two, and the bytes as ASCII, each byte outside
// 0x20-0x7e as "."; a short last line is padded so that its ASCII lines up.
class HexLines {
 public:
  explicit HexLines(std::int64_t offset) : offset_(offset) {}

  /// The lines that `bytes` complete.
  [[nodiscard]] std::string add(std::span<const unsigned char> bytes) {
    std::string text;
    text.reserve((bytes.size() / kWidth + 1) * kLineLength);
    for (const unsigned char byte : bytes) {
      pending_[pendingSize_++] = byte;
      if (pendingSize_ == kWidth) appendLine(text);
    }
    return text;
  }
  /// The last line, when the bytes did not fill it.
  [[nodiscard]] std::string finish() {
    std::string text;
    if (pendingSize_ > 0) appendLine(text);
    return text;
  }

 private:
  static constexpr std::size_t kWidth = 16;
  static constexpr std::size_t kHexColumns = 40;  // eight groups of four digits, each with a space
  static constexpr std::size_t kLineLength = 10 + kHexColumns + 1 + kWidth + 1;
  static_assert(kLineLength == 68, "a full line as xxd writes it, newline included");

  // Made in place, as the line is long: a dump of a large file is millions.
  void appendLine(std::string& text) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::array<char, kLineLength> line;
    line.fill(' ');
    for (std::size_t i = 0; i < 8; ++i) {
      line[7 - i] = kDigits[static_cast<std::size_t>(offset_ >> (4 * i)) & 0xF];
    }
    line[8] = ':';
    constexpr std::size_t kAsciiStart = 10 + kHexColumns + 1;
    for (std::size_t i = 0; i < pendingSize_; ++i) {
      const unsigned char byte = pending_[i];
      const std::size_t hex = 10 + i / 2 * 5 + i % 2 * 2;
      line[hex] = kDigits[byte >> 4];
      line[hex + 1] = kDigits[byte & 0xF];
      line[kAsciiStart + i] = byte >= 0x20 && byte <= 0x7e ? static_cast<char>(byte) : '.';
    }
    line[kAsciiStart + pendingSize_] = '\n';
    text.append(line.data(), kAsciiStart + pendingSize_ + 1);
    offset_ += static_cast<std::int64_t>(pendingSize_);
    pendingSize_ = 0;
  }

  std::int64_t offset_;
  std::array<unsigned char, kWidth> pending_{};
  std::size_t pendingSize_ = 0;
};

// A whole word as VOLUME-OFFSET reads it: an optional sign, then decimal,
// hexadecimal after "0x" or octal after a leading 0; anything left over
// makes it no number. Saturates at the 64-bit limits, far past any file.
std::optional<std::int64_t> parseNumber(std::string_view word) {
  bool negative = false;
  if (!word.empty() && (word.front() == '-' || word.front() == '+')) {
    negative = word.front() == '-';
    word.remove_prefix(1);
  }
  unsigned base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  } else if (word.size() > 1 && word[0] == '0') {
    base = 8;
  }
  if (word.empty()) return std::nullopt;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  std::uint64_t value = 0;
  for (const char c : word) {
    const unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                           : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                           : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                  : 16;
    if (digit >= base) return std::nullopt;
    value = value > (kLimit - digit) / base ? kLimit : value * base + digit;
  }
  const auto magnitude = static_cast<std::int64_t>(value);
  return negative ? -magnitude : magnitude;
}

struct HexRequest {
  std::string_view path;
  std::optional<std::int64_t> offset;
  std::optional<std::int64_t> count;
};

// The ways to read the argument, the whole of it as PATH first, then with
// one and with two number words taken off its end.
std::vector<HexRequest> readings(std::string_view argument) {
  std::vector<HexRequest> found{{argument, std::nullopt, std::nullopt}};
  std::vector<std::int64_t> numbers;
  std::string_view rest = argument;
  while (numbers.size() < 2) {
    const std::size_t space = rest.rfind(' ');
    if (space == std::string_view::npos) break;
    const auto number = parseNumber(rest.substr(space + 1));
    if (!number) break;
    numbers.insert(numbers.begin(), *number);
    rest = rest.substr(0, rest.find_last_not_of(' ', space) + 1);
    if (rest.empty()) break;
    found.push_back({rest, numbers.front(),
                     numbers.size() == 2 ? std::optional(numbers.back()) : std::nullopt});
  }
  return found;
}

// The longest PATH that names an entry wins, as a whole name wins over a
// path; where none does, the shortest says why as p would.
std::optional<std::pair<HexRequest, DirectoryEntry>> resolveRequest(Session& session,
                                                                    std::string_view argument) {
  const std::vector<HexRequest> candidates = readings(argument);
  WindowedReader reader(session.image);
  for (const HexRequest& request : candidates) {
    const auto target =
        resolvePath(reader, session.geometry, session.levels, request.path, PathEnd::kEntry);
    if (target && target->entry) return std::pair(request, *target->entry);
  }
  if (resolveArgument(session, candidates.back().path)) session.fail("File not found.\n");
  return std::nullopt;
}

// Prints `count` bytes of the entry from `offset` on; returns how many the
// image held.
std::int64_t printHex(Session& session, const DirectoryEntry& entry, std::int64_t offset,
                      std::int64_t count) {
  HexLines lines(offset);
  const auto write = [&](const std::string& text) {
    session.out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return session.out.good();
  };
  const std::int64_t position = blockToOffset(session.geometry, entry.startBlock);
  const CopyResult copy = copyBytes(session.image.file(), position < 0 ? -1 : position + offset,
                                    count, [&](const unsigned char* data, std::size_t size) {
                                      return write(lines.add({data, size}));
                                    });
  if (!copy.writeFailed) write(lines.finish());
  return copy.writeFailed ? count : copy.copied;
}

}  // namespace

ShellStep showHex(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  if (!argument || argument->empty()) {
    session.fail(kUsage);
    return ShellStep::kPrompt;
  }
  const auto resolved = resolveRequest(session, *argument);
  if (!resolved) return ShellStep::kPrompt;
  const auto& [request, entry] = *resolved;
  const std::int64_t offset = request.offset.value_or(0);
  if (offset < 0 || request.count.value_or(0) < 0) {
    session.fail("Offset and count cannot be negative.\n");
    return ShellStep::kPrompt;
  }
  if (entry.byteCount < 0) {
    session.fail("Invalid entry size.\n");
    return ShellStep::kPrompt;
  }
  if (offset > 0 && offset >= entry.byteCount) {
    session.fail(request.path, "offset " + std::to_string(offset) + " is past its end (" +
                                   counted(entry.byteCount, "byte", "bytes") + ").\n");
    return ShellStep::kPrompt;
  }
  const std::int64_t rest = entry.byteCount - offset;
  const bool cut = !request.count && session.terminalOutput && rest > kTerminalBytes;
  const std::int64_t count = cut ? kTerminalBytes : std::min(rest, request.count.value_or(rest));
  const ProgressRun progress(session.progress, ProgressTotal{count, std::nullopt});
  const std::int64_t shown = printHex(session, entry, offset, count);
  if (shown < count) {
    session.fail("Image ends early: " + std::to_string(shown) + " of " + std::to_string(count) +
                 " bytes shown.\n");
  } else if (cut) {
    session.out << "... " << rest - count << " more bytes: o " << session.shown(request.path) << ' '
                << offset + count << ' ' << rest - count << " shows them.\n";
  }
  return ShellStep::kPrompt;
}

}  // namespace discshell
