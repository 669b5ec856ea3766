// n: rename an entry within its directory (a pending change), and the
// splitting of its arguments, which i shares.
#include "console/commands.h"

namespace discshell {

// Blanks between words, single quotes taking everything literally, double
// quotes where a backslash escapes only $ ` " and \, and a backslash
// elsewhere taking the next character as it is.
std::optional<std::vector<std::string>> shellWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i == text.size()) return std::nullopt;
      word.push_back(text[i]);
    } else if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::string_view("$`\"\\").find(text[i + 1]) != std::string_view::npos) {
          ++i;
        }
        word.push_back(text[i]);
      }
      if (i == text.size()) return std::nullopt;
    } else {
      word.push_back(c);
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

ShellStep renameEntry(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto words = argument ? shellWords(*argument) : std::nullopt;
  if (!words || words->size() != 2) {
    session.fail("Usage: n PATH NEWNAME\n");
    return ShellStep::kPrompt;
  }
  const auto target = resolvePendingEntry(session, (*words)[0]);
  if (!target) return ShellStep::kPrompt;
  const PendingEntry& entry = *target->entry;
  const std::string& name = (*words)[1];
  if (const auto why = entryNameProblem(name)) {
    session.fail(target->pathOf(name), *why);
    return ShellStep::kPrompt;
  }
  PendingView view = session.pendingView();
  if (view.find(entry.holder, name)) {
    session.fail(target->pathOf(name), "already in the image.\n");
    return ShellStep::kPrompt;
  }
  const std::string path = target->pathOf(entry.name);
  if (entry.record) {
    session.pending.renameRecord(entry.record->recordPosition, entry.holder.offset, name, path);
  } else {
    session.pending.renameAdded(entry.added, name, path);
  }
  return ShellStep::kPrompt;
}

}  // namespace discshell
