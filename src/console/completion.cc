#include "console/completion.h"

#include <algorithm>

#include "console/commands.h"
#include "console/shell.h"

namespace discshell {

Completion completeLine(const Session& session, std::string_view line) {
  const auto argument = commandArgument(line);
  if (!argument) return {};
  const bool takesPath =
      std::string_view("cemnoprstux").find(line.front()) != std::string_view::npos &&
      findCommand(line.front()) != nullptr;
  if (!takesPath && line.front() != 'g' && line.front() != 'w') return {};

  std::int32_t directory = session.directory();
  std::string_view prefix = *argument;
  WindowedReader reader(session.image);
  const std::size_t slash = takesPath ? prefix.rfind('/') : std::string_view::npos;
  if (slash != std::string_view::npos) {
    const auto target = resolvePath(reader, session.geometry, session.levels,
                                    prefix.substr(0, slash + 1), PathEnd::kDirectory);
    if (!target) return {};
    directory =
        target->down.empty() ? session.levels[target->keep - 1].offset : target->down.back().offset;
    prefix.remove_prefix(slash + 1);
  }
  std::vector<DirectoryEntry> fits;
  walkDirectory(session.image, session.geometry, directory, [&](const DirectoryEntry& entry) {
    if (entry.name.starts_with(prefix)) fits.push_back(entry);
    return WalkStep::kContinue;
  });
  if (fits.empty()) return {};
  std::string common = fits.front().name;
  for (const DirectoryEntry& entry : fits) {
    const auto differ =
        std::mismatch(common.begin(), common.end(), entry.name.begin(), entry.name.end());
    common.erase(differ.first, common.end());
  }
  Completion completion;
  completion.insert = common.substr(prefix.size());
  const bool unique = std::all_of(fits.begin(), fits.end(),
                                  [&](const DirectoryEntry& e) { return e.name == common; });
  if (unique && takesPath && isDirectory(reader, session.geometry, fits.front())) {
    completion.insert += '/';
  }
  if (completion.insert.empty() && !unique) {
    for (const DirectoryEntry& entry : fits) completion.choices.push_back(entry.name);
    std::sort(completion.choices.begin(), completion.choices.end());
    completion.choices.erase(std::unique(completion.choices.begin(), completion.choices.end()),
                             completion.choices.end());
  }
  return completion;
}

}  // namespace discshell
