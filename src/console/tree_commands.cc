// Commands on whole trees: t and x (u has a file of its own).
#include "console/commands.h"
#include "console/work_totals.h"
#include "local/extract_tree.h"

namespace discshell {
namespace {

class TreeLister final : public TreeVisitor {
 public:
  explicit TreeLister(Session& session) : session_(session) {}
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    session_.out << session_.shown(entry.type) << '\t' << entry.byteCount << '\t'
                 << entry.startBlock << '\t' << session_.shown(path) << (directory ? "/\n" : "\n");
    return true;
  }
  // Shown like any directory; its contents were listed where it was first met.
  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    visit(entry, true, path);
  }

 private:
  Session& session_;
};

}  // namespace

ShellStep listTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  TreeLister lister(session);
  walkArgument(session, *target, lister);
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
  session.out << "Extracted " << counted(totals.files, "file", "files") << " and "
              << counted(totals.directories, "directory", "directories") << ", "
              << counted(totals.bytes, "byte", "bytes") << "; "
              << (totals.kept > 0 ? std::to_string(totals.kept) + " kept, " : "")
              << counted(totals.failures, "failure", "failures") << ".\n";
  return ShellStep::kPrompt;
}

}  // namespace discshell
