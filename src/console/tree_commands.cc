// Commands on whole trees: t and x (u has a file of its own).
#include "console/commands.h"
#include "console/listing.h"
#include "console/work_totals.h"
#include "local/extract_tree.h"

namespace discshell {
namespace {

class TreeLister final : public TreeVisitor {
 public:
  TreeLister(Session& session, const PendingMarks& marks) : session_(session), marks_(marks) {}
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    printLine(entry, directory, path);
    if (directory) entered_.push_back(blockToOffset(session_.geometry, entry.startBlock));
    return true;
  }
  void leave(const std::string& path) override {
    listAdded({PendingDirectory::kImage, entered_.back()}, path + "/");
    entered_.pop_back();
  }
  // Shown like any directory; its contents were listed where it was first met.
  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    printLine(entry, true, path);
  }

  /// The entries to be added into `directory`, each directory before what
  /// it holds, with a stack of its own.
  void listAdded(const PendingDirectory& directory, const std::string& prefix) {
    std::vector<std::pair<const AddedEntry*, std::string>> stack;
    const auto push = [&](const PendingDirectory& into, const std::string& path) {
      const auto entries = marks_.addedInto(into);
      for (auto at = entries.rbegin(); at != entries.rend(); ++at) stack.emplace_back(*at, path);
    };
    push(directory, prefix);
    while (!stack.empty()) {
      auto [added, above] = std::move(stack.back());
      stack.pop_back();
      const std::string path = above.append(session_.pending.nameOf(*added));
      session_.out << '\t' << (added->directory ? "" : std::to_string(added->status.size)) << "\t\t"
                   << session_.shown(path) << (added->directory ? "/" : "") << PendingMarks::kAdded
                   << '\n';
      if (added->directory) push(marks_.contents(*added), path + "/");
    }
  }

 private:
  void printLine(const DirectoryEntry& entry, bool directory, const std::string& path) {
    session_.out << session_.shown(entry.type) << '\t' << entry.byteCount << '\t'
                 << entry.startBlock << '\t' << session_.shown(path) << (directory ? "/" : "")
                 << marks_.of(entry) << '\n';
  }

  Session& session_;
  const PendingMarks& marks_;
  std::vector<std::int32_t> entered_;  ///< the directories the walk is in, by offset
};

}  // namespace

ShellStep listTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  const PendingMarks marks(session);
  TreeLister lister(session, marks);
  walkArgument(session, *target, lister);
  // The directory walked has no line of its own, and no leave.
  WindowedReader reader(session.image);
  if (!target->entry) {
    lister.listAdded({PendingDirectory::kImage, target->directory}, "");
  } else if (isDirectory(reader, session.geometry, *target->entry)) {
    lister.listAdded(
        {PendingDirectory::kImage, blockToOffset(session.geometry, target->entry->startBlock)}, "");
  }
  return ShellStep::kPrompt;
}

ShellStep extractTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  const TreeReporter report = [&](TreeEvent event, const std::string& path,
                                  std::string_view message) {
    switch (event) {
      case TreeEvent::kFile:
        session.out << session.shown(path);
        if (!message.empty()) session.out << ": written as " << session.shown(message) << '.';
        session.out << '\n';
        break;
      case TreeEvent::kKept:
        session.out << session.shown(path) << ": " << message;
        break;
      case TreeEvent::kWrittenAs:
        session.out << session.shown(path) << ": written as " << session.shown(message) << ".\n";
        break;
      case TreeEvent::kFailure:
        session.fail(path, message);
        break;
      case TreeEvent::kSkipped:
        session.warn(path, message);
        break;
      case TreeEvent::kRevisit:
        session.out << session.shown(path) << "/: directory already extracted, not entered again\n";
        break;
    }
  };
  auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const ExistingFile existing =
      session.overwrite ? ExistingFile::kReplace : ExistingFile::kKeepEdited;
  const ProgressRun progress(session.progress, [&] { return treeWork(session, *target); });
  const TreeTotals totals =
      target->entry ? extractEntryTree(session.image, session.geometry, std::move(*here),
                                       *target->entry, existing, report)
                    : extractDirectoryTree(session.image, session.geometry, std::move(*here),
                                           target->directory, existing, report);
  if (totals.stoppedBy != 0) {
    session.fail("x stopped: " + platform::errorText(totals.stoppedBy) + "; " +
                 counted(totals.notWritten, "file", "files") + " not written.\n");
  }
  session.out << "Extracted " << counted(totals.files, "file", "files") << " and "
              << counted(totals.directories, "directory", "directories") << ", "
              << counted(totals.bytes, "byte", "bytes") << "; "
              << (totals.kept > 0 ? std::to_string(totals.kept) + " kept, " : "")
              << (totals.skipped > 0 ? std::to_string(totals.skipped) +
                                           " skipped: a name this folder takes as another; "
                                     : "")
              << counted(totals.failures, "failure", "failures") << ".\n";
  return ShellStep::kPrompt;
}

}  // namespace discshell
