// i: add a local file or directory, with everything below it, as a new
// entry (a pending change); i alone lists the pending changes.
#include <algorithm>
#include <limits>

#include "console/commands.h"

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

std::string joined(const std::vector<std::string>& names) {
  std::string path;
  for (std::size_t i = 0; i < names.size(); ++i) path.append(i == 0 ? "" : "/").append(names[i]);
  return path;
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
  LocalScan(Session& session, std::uint32_t firstIndex) : session_(session), next_(firstIndex) {}

  /// False after reporting every name that cannot be added.
  bool run(platform::Directory top, std::uint32_t topIndex, const std::string& localPath,
           const std::string& shownPath) {
    open(std::move(top), topIndex, localPath, shownPath);
    while (!stack_.empty() && !tooMany) {
      if (stack_.back().next == stack_.back().names.size()) {
        stack_.pop_back();
      } else {
        step();
      }
    }
    return problems_ == 0 && !tooMany;
  }

  std::vector<AddedEntry> entries;
  bool tooMany = false;

 private:
  struct Level {
    platform::Directory directory;
    std::vector<std::string> names;
    std::size_t next = 0;
    std::uint32_t index;  ///< the added entry it is
    std::string localPath;
    std::string shownPath;
  };

  void open(platform::Directory directory, std::uint32_t index, const std::string& localPath,
            const std::string& shownPath) {
    std::vector<std::string> names;
    if (!directory.listNames([&](std::string_view name) { names.emplace_back(name); })) {
      return problem(shownPath, "its local directory cannot be read.\n");
    }
    std::sort(names.begin(), names.end());
    stack_.push_back({std::move(directory), std::move(names), 0, index, localPath, shownPath});
  }

  // The next name of the innermost directory.
  void step() {
    Level& level = stack_.back();
    const std::string local = level.names[level.next++];
    const std::string localPath = level.localPath + "/" + local;
    const std::string shownPath = level.shownPath + "/" + local;
    const std::string name = entryNameOfLocal(local);
    const auto status = level.directory.entryStatus(local);
    auto why = entryNameProblem(name);
    if (!why) why = status ? refusal(*status) : "its local file cannot be read.\n";
    const bool directory = !why && status->kind == platform::FileKind::kDirectory;
    if (!why && !directory) why = unreadable(level.directory, local);
    if (why) return problem(shownPath, *why);
    entries.push_back({name, {level.index, 0}, directory, false, localPath, *status, 0});
    tooMany = entries.size() >= kMostEntriesAdded;
    const std::uint32_t index = next_++;
    if (!directory) return;
    platform::FileKind found{};
    auto inner = level.directory.enter(local, false, found);
    if (!inner) return problem(shownPath, "its local directory cannot be read.\n");
    open(std::move(*inner), index, localPath, shownPath);  // `level` may move now
  }

  void problem(const std::string& path, const std::string& message) {
    session_.fail(path, message);
    ++problems_;
  }

  Session& session_;
  std::uint32_t next_;
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
               const std::string& localPath, const std::string& typed,
               std::vector<AddedEntry>& entries) {
  platform::FileKind found{};
  auto inner = local.holder.enter(name, false, found);
  if (!inner) {
    session.fail(typed, "its local directory cannot be read.\n");
    return false;
  }
  const std::uint32_t index = session.pending.nextAdded();
  LocalScan scan(session, index + 1);
  if (!scan.run(std::move(*inner), index, localPath, typed)) {
    if (scan.tooMany) {
      session.fail(typed, "more than " + std::to_string(kMostEntriesAdded) + " entries at once.\n");
    }
    return false;
  }
  entries.insert(entries.end(), std::make_move_iterator(scan.entries.begin()),
                 std::make_move_iterator(scan.entries.end()));
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

}  // namespace

ShellStep addLocal(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  if (!argument) {
    listPending(session);
    return ShellStep::kPrompt;
  }
  const std::string typed(*argument);
  const auto names = pathBelow(*argument);
  if (!names) {
    session.fail(typed, "not below the current directory, where x writes.\n");
    return ShellStep::kPrompt;
  }
  if (names->empty()) {
    session.fail(typed, *entryNameProblem(""));
    return ShellStep::kPrompt;
  }
  // Each local name means the entry x wrote under it; a new one is named
  // so that x writes it back under its local name.
  PendingView view = session.pendingView();
  const auto target =
      view.resolveLocal(session.levels, std::vector<std::string>(names->begin(), names->end() - 1));
  if (!target) {
    session.fail("Directory not found.\n");
    return ShellStep::kPrompt;
  }
  if (insideErased(session, *target, typed)) return ShellStep::kPrompt;
  if (view.findLocal(target->directories.back(), names->back())) {
    session.fail(typed, "already in the image; use r to change it.\n");
    return ShellStep::kPrompt;
  }
  const std::string name = entryNameOfLocal(names->back());
  if (const auto why = entryNameProblem(name)) {
    session.fail(typed, *why);
    return ShellStep::kPrompt;
  }
  auto local = findLocal(session, *names, typed);
  if (!local) return ShellStep::kPrompt;
  const std::string localPath = joined(*names);
  const bool directory = local->status.kind == platform::FileKind::kDirectory;
  const auto why = directory ? std::nullopt : unreadable(local->holder, names->back());
  if (why) {
    session.fail(typed, *why);
    return ShellStep::kPrompt;
  }
  std::vector<AddedEntry> entries{
      {name, target->directories.back(), directory, false, localPath, local->status, 0}};
  if (directory && !scanBelow(session, *local, names->back(), localPath, typed, entries)) {
    return ShellStep::kPrompt;
  }
  session.pending.add(std::move(entries), target->pathOf(name));
  return ShellStep::kPrompt;
}

}  // namespace discshell
