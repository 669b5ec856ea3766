// i: add a local file or directory, with everything below it, as a new
// entry (a pending change); i alone lists the pending changes.
#include <algorithm>
#include <limits>

#include "console/commands.h"
#include "local/local_tree.h"
#include "output/output_file.h"

namespace discshell {
namespace {

// The names of a path below the current directory: "." and empty
// components left out. No value for a path that leaves it ("..", or a
// leading "/"), which x would not have written here.
std::optional<std::vector<std::string>> pathBelow(std::string_view path) {
  if (path.starts_with('/')) return std::nullopt;
  std::vector<std::string> names;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (name == "..") return std::nullopt;
    if (!name.empty() && name != ".") names.emplace_back(name);
  }
  return names;
}

// What stands at a local name that i would add, or why it cannot be added.
std::optional<std::string> refusal(const platform::FileStatus& status) {
  switch (status.kind) {
    case platform::FileKind::kRegular:
      if (status.size > std::numeric_limits<std::int32_t>::max()) {
        return "2 GiB or more, more than an entry can hold.\n";
      }
      return std::nullopt;
    case platform::FileKind::kDirectory:
      return std::nullopt;
    case platform::FileKind::kNone:
      return "no local file or directory there.\n";
    case platform::FileKind::kSymbolicLink:
      return "a symbolic link; only files and directories are added.\n";
    default:
      return "not a regular file or a directory.\n";
  }
}

// Why the local file `name` cannot be added though it is one: w reads it,
// so a file that cannot be opened now is refused now. No value when it opens.
std::optional<std::string> unreadable(const platform::Directory& holder, std::string_view name) {
  platform::ErrorCode error = 0;
  if (holder.openFile(name, error)) return std::nullopt;
  return "cannot be read (" + platform::errorText(error) + "); not added.\n";
}

// Everything below a local directory that i adds, as entries: in the order
// of the names, each directory before what it holds. A depth-first walk
// with a stack of its own, entering each directory without following a link.
class LocalScan {
 public:
  /// Adds the entries behind those `added` holds.
  LocalScan(Session& session, std::uint32_t firstIndex, AddedEntries& added, AddedLocalNames& local)
      : entries(added),
        localNames(local),
        session_(session),
        next_(firstIndex),
        before_(added.entries.size()) {}

  /// False after reporting every name that cannot be added.
  bool run(platform::Directory top, std::uint32_t topIndex, const std::string& shownPath) {
    open(std::move(top), topIndex, shownPath);
    while (!stack_.empty() && !tooMany) {
      if (stack_.back().next == stack_.back().names.size()) {
        stack_.pop_back();
      } else {
        step();
      }
    }
    return problems_ == 0 && !tooMany;
  }

  AddedEntries& entries;
  AddedLocalNames& localNames;
  bool tooMany = false;

 private:
  struct Level {
    platform::Directory directory;
    SortedNames names;
    std::size_t next = 0;
    std::uint32_t index;  ///< the added entry it is
    std::string shownPath;
  };

  void open(platform::Directory directory, std::uint32_t index, const std::string& shownPath) {
    std::optional<SortedNames> names = SortedNames::read(directory);
    if (!names) return problem(shownPath, "its local directory cannot be read.\n");
    // Room for a wide folder's entries at once: growing by doubling would
    // hold the old list and one twice its size together.
    std::vector<AddedEntry>& list = entries.entries;
    const std::size_t needed = list.size() + names->size();
    if (needed > list.capacity()) list.reserve(std::max(needed, list.capacity() * 2));
    const std::size_t bytes = entries.names.size() + names->bytes();
    if (bytes > entries.names.capacity()) {
      entries.names.reserve(std::max(bytes, entries.names.capacity() * 2));
    }
    stack_.push_back({std::move(directory), std::move(*names), 0, index, shownPath});
  }

  // The next name of the innermost directory.
  void step() {
    Level& level = stack_.back();
    const std::string local(level.names[level.next++]);
    const std::string shownPath = level.shownPath + "/" + local;
    const std::string name = entryNameOfLocal(local);
    const auto status = level.directory.entryStatus(local);
    auto why = entryNameProblem(name);
    if (!why) why = status ? refusal(*status) : "its local file cannot be read.\n";
    const bool directory = !why && status->kind == platform::FileKind::kDirectory;
    if (!why && !directory) why = unreadable(level.directory, local);
    if (why) return problem(shownPath, *why);
    if (name != local) localNames.others.emplace_back(entries.entries.size(), local);
    entries.add(name, *status, {level.index, 0}, directory);
    tooMany = entries.entries.size() - before_ >= kMostEntriesAdded;
    const std::uint32_t index = next_++;
    if (!directory) return;
    platform::FileKind found{};
    auto inner = level.directory.enter(local, false, found);
    if (!inner) return problem(shownPath, "its local directory cannot be read.\n");
    open(std::move(*inner), index, shownPath);  // `level` may move now
  }

  void problem(const std::string& path, const std::string& message) {
    session_.fail(path, message);
    ++problems_;
  }

  Session& session_;
  std::uint32_t next_;
  std::size_t before_;
  std::vector<Level> stack_;
  std::size_t problems_ = 0;
};

// The local file or directory at `names` below the local directory, and
// the directory that holds it; no value after saying why there is none.
struct LocalItem {
  platform::Directory holder;
  platform::FileStatus status;
};
std::optional<LocalItem> findLocal(Session& session, const std::vector<std::string>& names,
                                   const std::string& typed) {
  auto here = session.localDirectory();
  for (std::size_t i = 0; here && i + 1 < names.size(); ++i) {
    platform::FileKind found{};
    here = here->enter(names[i], false, found);
  }
  const auto status = here ? here->entryStatus(names.back()) : std::nullopt;
  const auto why = status ? refusal(*status) : "no local file or directory there.\n";
  if (why) {
    session.fail(typed, *why);
    return std::nullopt;
  }
  return LocalItem{std::move(*here), *status};
}

// Adds to `entries` (the directory's own first) everything below the
// local directory; false after reporting what cannot be added.
bool scanBelow(Session& session, const LocalItem& local, const std::string& name,
               const std::string& typed, AddedEntries& entries, AddedLocalNames& localNames) {
  platform::FileKind found{};
  auto inner = local.holder.enter(name, false, found);
  if (!inner) {
    session.fail(typed, "its local directory cannot be read.\n");
    return false;
  }
  const std::uint32_t index = session.pending.nextAdded();
  LocalScan scan(session, index + 1, entries, localNames);
  if (!scan.run(std::move(*inner), index, typed)) {
    if (scan.tooMany) {
      session.fail(typed, "more than " + std::to_string(kMostEntriesAdded) + " entries at once.\n");
    }
    return false;
  }
  return true;
}

void listPending(Session& session) {
  if (session.pending.empty()) {
    session.out << "No changes are pending.\n";
    return;
  }
  for (const std::string& line : session.pending.lines()) {
    session.out << session.shown(line) << '\n';
  }
}

// Where i reads what PATH names: where x PATH writes it. An entry that is
// there lies at its own name here (x PATH writes it so), or, when i added
// it, where i took it from; a new one lies in the local folder of its
// directory, which is here for the current directory, the directory's own
// name here for one of the image (x DIR writes it there), or where i took
// a directory it added from.
std::string newEntryPlace(const Session& session, const PendingPath& parent,
                          const std::vector<std::string>& names) {
  const PendingDirectory& directory = parent.directories.back();
  if (!directory.inImage()) {
    return session.pending.localPath(directory.added) + "/" + names.back();
  }
  if (names.size() == 1) return names.back();
  return names[names.size() - 2] + "/" + names.back();
}
std::string existingEntryPlace(const Session& session, const PendingEntry& entry,
                               const std::vector<std::string>& names) {
  return entry.record ? names.back() : session.pending.localPath(entry.added);
}

std::vector<std::string> pathNames(std::string_view path) {
  std::vector<std::string> names;
  for (std::size_t slash = 0; slash != std::string_view::npos; path.remove_prefix(slash + 1)) {
    slash = path.find('/');
    names.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
  }
  return names;
}

// Adds the local file or directory `local` (at `localPath`, named `localLeaf`
// in its folder) as the new entry `name` in `parent`, everything below a
// directory with it, as one pending change; false after saying why not.
bool addNew(Session& session, const PendingPath& parent, const std::string& name,
            const LocalItem& local, const std::string& localLeaf, const std::string& localPath,
            const std::string& shownPath) {
  const bool directory = local.status.kind == platform::FileKind::kDirectory;
  if (const auto why = directory ? std::nullopt : unreadable(local.holder, localLeaf)) {
    session.fail(shownPath, *why);
    return false;
  }
  AddedEntries entries;
  entries.add(name, local.status, parent.directories.back(), directory);
  AddedLocalNames localNames{localPath, {}};
  if (directory && !scanBelow(session, local, localLeaf, shownPath, entries, localNames)) {
    return false;
  }
  session.pending.add(std::move(entries), std::move(localNames), parent.pathOf(name));
  return true;
}

// i of a directory the image has: every local file and folder below its
// local folder that no entry means is added, each one change and one line;
// what has an entry is left as it is. A depth-first walk with a stack of
// its own, entering each folder without following a link; the image and
// the output are no files of the tree.
class MissingScan {
 public:
  explicit MissingScan(Session& session)
      : session_(session),
        view_(session.pendingView()),
        output_(
            locateOutputFile(OutputPlace(session.outputPath, session.outputDirectory)).existing) {}

  void run(platform::Directory top, PendingPath path, const std::string& localPath,
           const std::string& shownPath) {
    open(std::move(top), std::move(path), localPath, shownPath);
    while (!stack_.empty()) {
      if (stack_.back().next == stack_.back().names.size()) {
        stack_.pop_back();
      } else {
        step();
      }
    }
    if (added_ == 0 && !session_.failed) {
      session_.out << session_.shown(shownPath)
                   << ": nothing to add; every local file below it has an entry.\n";
    }
  }

 private:
  struct Level {
    platform::Directory directory;
    SortedNames names;
    std::size_t next = 0;
    PendingPath path;  ///< the image directory it is the local folder of
    std::string localPath;
    std::string shownPath;
  };

  void open(platform::Directory directory, PendingPath path, const std::string& localPath,
            const std::string& shownPath) {
    std::optional<SortedNames> names = SortedNames::read(directory);
    if (!names) return session_.fail(shownPath, "its local directory cannot be read.\n");
    stack_.push_back(
        {std::move(directory), std::move(*names), 0, std::move(path), localPath, shownPath});
  }

  void step() {
    Level& level = stack_.back();
    const std::string local(level.names[level.next++]);
    const std::string localPath = level.localPath + "/" + local;
    const std::string shownPath = level.shownPath + "/" + local;
    const auto status = level.directory.entryStatus(local);
    if (!status) return session_.fail(shownPath, "its local file cannot be read.\n");
    if (isImage(status, session_.image) ||
        (output_ && output_->kind == platform::FileKind::kRegular &&
         status->identity == output_->identity)) {
      return;
    }
    const auto entry = view_.findLocal(level.path.directories.back(), local);
    if (entry) {
      if (!entry->directory || !entry->record || status->kind != platform::FileKind::kDirectory) {
        return;
      }
      platform::FileKind found{};
      auto inner = level.directory.enter(local, false, found);
      if (!inner) return session_.fail(shownPath, "its local directory cannot be read.\n");
      PendingPath path = level.path;
      path.directories.push_back(entry->contents(session_.geometry));
      path.names.push_back(entry->name);
      return open(std::move(*inner), std::move(path), localPath, shownPath);  // `level` may move
    }
    const std::string name = entryNameOfLocal(local);
    auto why = entryNameProblem(name);
    if (!why) why = refusal(*status);
    if (why) return session_.fail(shownPath, *why);
    auto holder = level.directory.duplicate();
    if (!holder) return session_.fail(shownPath, "its local directory cannot be read.\n");
    if (addNew(session_, level.path, name, LocalItem{std::move(*holder), *status}, local, localPath,
               shownPath)) {
      ++added_;
      session_.out << session_.shown(session_.pending.lines().back()) << '\n';
    }
  }

  Session& session_;
  PendingView view_;
  std::optional<platform::FileStatus> output_;
  std::vector<Level> stack_;
  std::size_t added_ = 0;
};

// One path of i: a new entry, or what is new below a directory that is there.
void addPath(Session& session, const std::string& typed) {
  const auto names = pathBelow(typed);
  if (!names) return session.fail(typed, "not below the current directory, where x writes.\n");
  if (names->empty()) return session.fail(typed, *entryNameProblem(""));
  // Each local name means the entry x wrote under it; a new one is named
  // so that x writes it back under its local name.
  PendingView view = session.pendingView();
  const auto target =
      view.resolveLocal(session.levels, std::vector<std::string>(names->begin(), names->end() - 1));
  if (!target) return session.fail("Directory not found.\n");
  if (insideErased(session, *target, typed)) return;
  if (const auto existing = view.findLocal(target->directories.back(), names->back())) {
    if (!existing->directory) {
      return session.fail(typed, "already in the image; use r to change it.\n");
    }
    const std::string localPath = existingEntryPlace(session, *existing, *names);
    const auto local = findLocal(session, pathNames(localPath), typed);
    if (!local) return;
    platform::FileKind found{};
    auto folder = local->holder.enter(pathNames(localPath).back(), false, found);
    if (!folder) return session.fail(typed, "local file where the entry is a directory.\n");
    PendingPath path = *target;
    path.directories.push_back(existing->contents(session.geometry));
    path.names.push_back(existing->name);
    MissingScan(session).run(std::move(*folder), std::move(path), localPath, typed);
    return;
  }
  const std::string name = entryNameOfLocal(names->back());
  if (const auto why = entryNameProblem(name)) return session.fail(typed, *why);
  const std::string localPath = newEntryPlace(session, *target, *names);
  const std::vector<std::string> localNames = pathNames(localPath);
  const auto local = findLocal(session, localNames, typed);
  if (!local) return;
  static_cast<void>(addNew(session, *target, name, *local, localNames.back(), localPath, typed));
}

}  // namespace

ShellStep addLocal(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  if (!argument) {
    listPending(session);
    return ShellStep::kPrompt;
  }
  // Several paths, split as n splits its arguments: "i a.txt 'b c.txt'".
  const auto paths = shellWords(*argument);
  if (!paths || paths->empty()) {
    session.fail("Usage: i PATH...\n");
    return ShellStep::kPrompt;
  }
  bool failed = false;
  for (const std::string& path : *paths) {
    session.failed = false;
    addPath(session, path);
    failed = failed || session.failed;
  }
  session.failed = failed;
  return ShellStep::kPrompt;
}

}  // namespace discshell
