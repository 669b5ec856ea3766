#include "console/completion.h"

#include <algorithm>

#include "console/commands.h"
#include "console/shell.h"

namespace discshell {
namespace {

// The longest start that every name shares, cut where a character begins:
// the editor takes whole characters only.
std::string commonStart(const std::vector<std::string>& names) {
  std::string common = names.front();
  for (const std::string& name : names) {
    const auto differ = std::mismatch(common.begin(), common.end(), name.begin(), name.end());
    common.erase(differ.first, common.end());
  }
  const std::string& whole = names.front();
  while (!common.empty() && common.size() < whole.size() &&
         (static_cast<unsigned char>(whole[common.size()]) & 0xC0) == 0x80) {
    common.pop_back();
  }
  return common;
}

}  // namespace

Completion completeLine(const Session& session, std::string_view line) {
  const auto argument = commandArgument(line);
  if (!argument || commandOfLine(line) == nullptr) return {};
  const bool takesPath =
      std::string_view("cemnoprstux").find(line.front()) != std::string_view::npos;
  if (!takesPath && line.front() != 'g' && line.front() != 'w') return {};

  // Names are typed as the terminal shows them (typedName); the directories
  // before the last "/" are read back into the bytes of their names.
  std::int32_t directory = session.directory();
  std::string_view prefix = *argument;
  WindowedReader reader(session.image);
  const std::size_t slash = takesPath ? prefix.rfind('/') : std::string_view::npos;
  if (slash != std::string_view::npos) {
    const auto target = resolvePath(reader, session.geometry, session.levels,
                                    typedText(prefix.substr(0, slash + 1)), PathEnd::kDirectory);
    if (!target) return {};
    directory =
        target->down.empty() ? session.levels[target->keep - 1].offset : target->down.back().offset;
    prefix.remove_prefix(slash + 1);
  }
  std::vector<std::string> fits;
  std::optional<DirectoryEntry> first;
  walkDirectory(session.image, session.geometry, directory, [&](const DirectoryEntry& entry) {
    std::string typed = typedName(entry.name);
    if (typed.starts_with(prefix)) {
      if (fits.empty()) first = entry;
      fits.push_back(std::move(typed));
    }
    return WalkStep::kContinue;
  });
  if (fits.empty()) return {};
  const std::string common = commonStart(fits);
  Completion completion;
  completion.insert = common.substr(std::min(prefix.size(), common.size()));
  const bool unique =
      std::all_of(fits.begin(), fits.end(), [&](const std::string& fit) { return fit == common; });
  if (unique && takesPath && isDirectory(reader, session.geometry, *first)) {
    completion.insert += '/';
  }
  if (completion.insert.empty() && !unique) {
    completion.choices = std::move(fits);
    std::sort(completion.choices.begin(), completion.choices.end());
    completion.choices.erase(std::unique(completion.choices.begin(), completion.choices.end()),
                             completion.choices.end());
  }
  return completion;
}

}  // namespace discshell
