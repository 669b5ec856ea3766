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

std::string joined(const std::vector<std::string>& names, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path.append(i == 0 ? "" : "/").append(names[i]);
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

// Everything below the local directory `top` (added as entry `topIndex`),
// in the order of the names, each directory before what it holds.
class LocalScan {
 public:
  LocalScan(Session& session, std::uint32_t firstIndex) : session_(session), next_(firstIndex) {}

  bool run(platform::Directory top, std::uint32_t topIndex, const std::string& localPath,
           const std::string& shownPath) {
    struct Level {
      platform::Directory directory;
      std::vector<std::string> names;
      std::size_t next = 0;
      std::uint32_t index;
      std::string localPath;
      std::string shownPath;
    };
    std::vector<Level> stack;
    const auto open = [&](platform::Directory directory, std::uint32_t index,
                          const std::string& local, const std::string& shown) {
      auto names = directory.names();
      if (!names) return problem(shown, "its local directory cannot be read.\n");
      std::sort(names->begin(), names->end());
      stack.push_back({std::move(directory), std::move(*names), 0, index, local, shown});
      return true;
    };
    if (!open(std::move(top), topIndex, localPath, shownPath)) return false;
    while (!stack.empty() && !tooMany) {
      Level& level = stack.back();
      if (level.next == level.names.size()) {
        stack.pop_back();
        continue;
      }
      const std::string local = level.names[level.next++];
      const std::string localChild = level.localPath + "/" + local;
      const std::string shownChild = level.shownPath + "/" + local;
      const auto status = level.directory.entryStatus(local);
      const std::string name = entryNameOfLocal(local);
      if (const auto why = entryNameProblem(name)) {
        problem(shownChild, *why);
        continue;
      }
      const auto why = status ? refusal(*status) : "its local file cannot be read.\n";
      if (why) {
        problem(shownChild, *why);
        continue;
      }
      const bool directory = status->kind == platform::FileKind::kDirectory;
      entries.push_back({name, {level.index, 0}, directory, false, localChild, *status, 0});
      tooMany = entries.size() >= kMostEntriesAdded;
      const std::uint32_t index = next_++;
      if (!directory) continue;
      platform::FileKind found{};
      auto inner = level.directory.enter(local, false, found);
      if (!inner) {
        problem(shownChild, "its local directory cannot be read.\n");
        continue;
      }
      // `level` may move when the stack grows.
      open(std::move(*inner), index, localChild, shownChild);
    }
    return problems_ == 0 && !tooMany;
  }

  std::vector<AddedEntry> entries;
  bool tooMany = false;

 private:
  bool problem(const std::string& path, const std::string& message) {
    session_.fail(path, message);
    ++problems_;
    return false;
  }
  Session& session_;
  std::uint32_t next_;
  std::size_t problems_ = 0;
};

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
  const std::string local = names->empty() ? std::string() : names->back();
  const std::string name = entryNameOfLocal(local);
  if (const auto why = entryNameProblem(name)) {
    session.fail(typed, *why);
    return ShellStep::kPrompt;
  }
  PendingView view = session.pendingView();
  std::vector<std::string> parents(names->begin(), names->end() - 1);
  for (std::string& parent : parents) parent = entryNameOfLocal(parent);
  const auto target = view.resolve(session.levels, joined(parents, parents.size()), false);
  if (!target) {
    session.fail("Directory not found.\n");
    return ShellStep::kPrompt;
  }
  if (view.find(target->directories.back(), name)) {
    session.fail(typed, "already in the image; use r to change it.\n");
    return ShellStep::kPrompt;
  }
  auto here = session.localDirectory();
  for (std::size_t i = 0; here && i + 1 < names->size(); ++i) {
    platform::FileKind found{};
    here = here->enter((*names)[i], false, found);
  }
  const auto status = here ? here->entryStatus(local) : std::nullopt;
  const auto why = status ? refusal(*status) : "no local file or directory there.\n";
  if (why) {
    session.fail(typed, *why);
    return ShellStep::kPrompt;
  }
  const std::string localPath = joined(*names, names->size());
  const std::uint32_t index = session.pending.nextAdded();
  std::vector<AddedEntry> entries{{name, target->directories.back(),
                                   status->kind == platform::FileKind::kDirectory, false, localPath,
                                   *status, 0}};
  if (entries.front().directory) {
    platform::FileKind found{};
    auto inner = here->enter(local, false, found);
    LocalScan scan(session, index + 1);
    if (!inner || !scan.run(std::move(*inner), index, localPath, typed)) {
      if (!inner) session.fail(typed, "its local directory cannot be read.\n");
      if (scan.tooMany) {
        session.fail(typed,
                     "more than " + std::to_string(kMostEntriesAdded) + " entries at once.\n");
      }
      return ShellStep::kPrompt;
    }
    entries.insert(entries.end(), std::make_move_iterator(scan.entries.begin()),
                   std::make_move_iterator(scan.entries.end()));
  }
  session.pending.add(std::move(entries), target->pathOf(name));
  return ShellStep::kPrompt;
}

}  // namespace discshell
