// e: erase an entry (a directory with everything below it) as a pending
// change; only its record goes, its data stays where it is.
#include <algorithm>

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
  if (insideErased(session, *target, *argument)) return std::nullopt;
  return target;
}

bool insideErased(Session& session, const PendingPath& path, std::string_view typed) {
  for (std::size_t i = 1; i < path.directories.size(); ++i) {
    const PendingDirectory& directory = path.directories[i];
    if (!directory.inImage() || !session.pending.erasesDirectory(directory.offset)) continue;
    std::string erased;
    for (std::size_t j = 1; j <= i; ++j) erased.append(path.names[j]).append("/");
    session.fail(typed, "inside " + session.shown(erased) + ", which a pending change erases.\n");
    return true;
  }
  return false;
}

namespace {

// Where copy 0 of each directory below `contents` begins, and its own, sorted.
std::vector<std::int32_t> directoriesBelow(const Session& session, std::int32_t contents) {
  class Collect final : public TreeVisitor {
   public:
    Collect(const VolumeGeometry& geometry, std::vector<std::int32_t>& offsets)
        : geometry_(geometry), offsets_(offsets) {}
    bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
      if (directory) offsets_.push_back(blockToOffset(geometry_, entry.startBlock));
      return directory;
    }
    void revisit(const DirectoryEntry&, const std::string&) override {}

   private:
    const VolumeGeometry& geometry_;
    std::vector<std::int32_t>& offsets_;
  };
  std::vector<std::int32_t> offsets{contents};
  Collect collect(session.geometry, offsets);
  walkTree(session.image, session.geometry, contents, collect);
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

}  // namespace

ShellStep eraseEntry(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolvePendingEntry(session, argument);
  if (!target) return ShellStep::kPrompt;
  const PendingEntry& entry = *target->entry;
  const std::string path = target->pathOf(entry.name);
  if (entry.record && entry.directory) {
    const std::int32_t contents = blockToOffset(session.geometry, entry.record->startBlock);
    const std::size_t before = session.pending.size();
    session.pending.eraseDirectoryRecord(entry.record->recordPosition, entry.holder.offset,
                                         entry.name, path, contents,
                                         directoriesBelow(session, contents));
    // Changes inside it were dropped: the line that says so is shown now.
    if (session.pending.size() <= before) {
      session.out << session.shown(session.pending.lines().back()) << '\n';
    }
  } else if (entry.record) {
    session.pending.eraseRecord(entry.record->recordPosition, entry.holder.offset, entry.name,
                                path);
  } else {
    session.pending.eraseAdded(entry.added, path);
  }
  return ShellStep::kPrompt;
}

}  // namespace discshell
