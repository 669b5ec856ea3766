// f: every place below the current directory where a file holds some bytes.
#include "bytes/search.h"
#include "console/commands.h"
#include "console/line_source.h"
#include "console/work_totals.h"

namespace discshell {
namespace {

// Match lines beyond this are counted, not printed: a text that is
// everywhere would otherwise bury the count.
constexpr std::int64_t kMatchLines = 1000;
// The longest text a line of a script or the prompt keeps whole after "f ";
// a longer one was cut, and -c lines are held to the same.
constexpr std::size_t kLongestText = kKeptLineLength - 2;

std::optional<unsigned> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

// The byte that "\xHH" at the start of `text` stands for, if it is one.
std::optional<char> hexEscape(std::string_view text) {
  if (text.size() < 4 || text[1] != 'x') return std::nullopt;
  const auto high = hexDigit(text[2]);
  const auto low = hexDigit(text[3]);
  if (!high || !low) return std::nullopt;
  return static_cast<char>(*high << 4 | *low);
}

// The bytes TEXT stands for: "\xHH" one byte, "\\" a backslash, every
// other byte itself. No value for a backslash followed by anything else,
// which is kept in `bad` so that the message can show it.
std::optional<std::string> searchBytes(std::string_view text, std::string& bad) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
    } else if (text.substr(i, 2) == "\\\\") {
      bytes += '\\';
      ++i;
    } else if (const auto byte = hexEscape(text.substr(i))) {
      bytes += *byte;
      i += 3;
    } else {
      bad = text.substr(i, text.substr(i, 2) == "\\x" ? 4 : 2);
      return std::nullopt;
    }
  }
  return bytes;
}

class TreeSearcher final : public TreeVisitor {
 public:
  TreeSearcher(Session& session, std::string_view bytes) : session_(session), search_(bytes) {}

  // As x takes them: a file at block 0 is not there, one with a negative
  // byte count has no data, one the image cuts short is searched as far
  // as it goes. Directories are walked, never searched.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (directory) return true;
    if (entry.startBlock == 0) return fail(path, "File not found.\n");
    if (entry.byteCount < 0) return fail(path, "Invalid entry size.\n");
    const FileProgress progress(path);
    std::int64_t found = 0;
    const std::int64_t searched = search_.findInFile(
        session_.image.file(), blockToOffset(session_.geometry, entry.startBlock), entry.byteCount,
        [&](std::int64_t offset) {
          ++found;
          if (++matches <= kMatchLines) {
            session_.out << session_.shown(path) << ": offset " << offset << '\n';
          }
        });
    if (found > 0) ++files;
    if (searched < entry.byteCount) {
      fail(path, "Image ends early: " + std::to_string(searched) + " of " +
                     std::to_string(entry.byteCount) + " bytes searched.\n");
    }
    return false;
  }
  void revisit(const DirectoryEntry&, const std::string& path) override {
    session_.out << session_.shown(path) << "/: directory already searched, not entered again\n";
  }

  std::int64_t matches = 0;
  std::int64_t files = 0;

 private:
  bool fail(const std::string& path, std::string_view message) {
    session_.fail(path, message);
    return false;
  }
  Session& session_;
  ByteSearch search_;
};

}  // namespace

ShellStep searchTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  if (!argument || argument->empty()) {
    session.fail("Usage: f TEXT\n");
    return ShellStep::kPrompt;
  }
  if (argument->size() > kLongestText) {
    session.fail("TEXT too long: at most " + std::to_string(kLongestText) + " bytes.\n");
    return ShellStep::kPrompt;
  }
  std::string bad;
  const auto bytes = searchBytes(*argument, bad);
  if (!bytes) {
    session.fail("Invalid escape " + session.shown(bad) +
                 ": \\xHH stands for one byte, \\\\ for a backslash.\n");
    return ShellStep::kPrompt;
  }
  const auto target = resolveArgument(session, std::nullopt);
  if (!target) return ShellStep::kPrompt;
  const ProgressRun progress(session.progress, [&] { return treeWork(session, *target); });
  TreeSearcher searcher(session, *bytes);
  walkArgument(session, *target, searcher);
  if (searcher.matches > kMatchLines) {
    session.out << "... and " << searcher.matches - kMatchLines << " more "
                << (searcher.matches - kMatchLines == 1 ? "match" : "matches") << ".\n";
  }
  session.out << counted(searcher.matches, "match", "matches") << " in "
              << counted(searcher.files, "file", "files") << ".\n";
  return ShellStep::kPrompt;
}

}  // namespace discshell
