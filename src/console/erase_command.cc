// e: erase an entry (a directory with everything below it) as a pending
// change; only its record goes, its data stays where it is.
#include "console/commands.h"

namespace discshell {

std::optional<PendingPath> resolvePendingEntry(Session& session,
                                               std::optional<std::string_view> argument) {
  std::optional<PendingPath> target;
  if (argument) {
    // A directory completes with a "/" behind it: the entry is meant.
    std::string_view path = *argument;
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    PendingView view = session.pendingView();
    target = view.resolve(session.levels, path, true);
  }
  // As for g: an entry whose start block is 0 is not found.
  if (!target || !target->entry ||
      (target->entry->record && target->entry->record->startBlock == 0)) {
    session.fail("File not found.\n");
    return std::nullopt;
  }
  return target;
}

ShellStep eraseEntry(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolvePendingEntry(session, argument);
  if (!target) return ShellStep::kPrompt;
  const PendingEntry& entry = *target->entry;
  const std::string path = target->pathOf(entry.name);
  if (entry.record) {
    session.pending.eraseRecord(entry.record->recordPosition, entry.holder.offset, entry.name, path,
                                entry.directory);
  } else {
    session.pending.eraseAdded(entry.added, path);
  }
  return ShellStep::kPrompt;
}

}  // namespace discshell
