// u and r: patch every changed file of the local tree into output.iso.
#include "console/patch_command.h"
#include "console/pending_write.h"
#include "transfer/output_file.h"
#include "transfer/update.h"

namespace discshell {
namespace {

// The shell's current directory from the root, as the walk names paths.
std::string currentPath(const Session& session) {
  std::string path;
  for (std::size_t i = 1; i < session.levels.size(); ++i) {
    if (!path.empty()) path += '/';
    path += session.levels[i].name;
  }
  return path;
}

// Nothing was written: say whether an earlier output is still there.
void refuse(Session& session, const std::string& output) {
  if (locateOutputFile(output).existed()) {
    session.fail("Nothing written; " + output + " is as it was.\n");
  } else {
    session.fail("Nothing written.\n");
  }
}

void printLines(Session& session, const PatchPlan& plan) {
  for (const PatchLine& line : plan.lines) {
    session.out << session.shown(line.path) << ": " << line.length;
    if (line.movedTo) {
      session.out << " bytes, moved to block " << *line.movedTo << '\n';
    } else {
      session.out << " bytes into " << line.copies << (line.copies == 1 ? " copy\n" : " copies\n");
    }
  }
}

}  // namespace

ShellStep runPatchCommand(Session& session, std::optional<std::string_view> argument,
                          PatchPlanner planner) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const ProgressRun progress(session.progress, std::nullopt);
  const std::string& output = session.outputPath;
  const PatchPlan plan = planner(session.image, session.geometry, *here,
                                 {target->entry, target->directory, currentPath(session)}, output);
  for (const std::string& path : plan.revisits) {
    session.out << session.shown(path) << ": directory already visited, not entered again\n";
  }
  if (plan.noLocalFiles && plan.problems.empty()) {
    session.fail(
        "No local files of this tree here: run x first, or change to where x wrote them.\n");
    return ShellStep::kPrompt;
  }
  if (!plan.problems.empty()) {
    for (const PatchProblem& problem : plan.problems)
      session.fail(problem.subject, problem.message);
    refuse(session, output);
    return ShellStep::kPrompt;
  }
  // The pending changes of i, e and n go into the same output, their lines first.
  std::optional<TreeEditPlan> pending;
  if (!session.pending.empty()) {
    pending = planPendingWrite(session, plan.changes);
    if (!pending) return ShellStep::kPrompt;
  }
  if (plan.lines.empty() && !pending) {
    session.out << "Nothing to replace: every local file matches the image.\n";
    return ShellStep::kPrompt;
  }
  const bool existed = locateOutputFile(output).existed();
  const WriteResult written =
      writeChangedImage(session.image, *here, pending ? pending->changes : plan.changes, output);
  if (written.outcome == WriteOutcome::kLocalFileChanged) {
    session.fail(written.path, "local file changed while it was read.\n");
    refuse(session, output);
    return ShellStep::kPrompt;
  }
  if (written.outcome == WriteOutcome::kFailed) {
    session.fail("Could not write " + output + (existed ? "; it is as it was.\n" : ".\n"));
    return ShellStep::kPrompt;
  }
  if (pending) printPendingLines(session);
  printLines(session, plan);
  session.out << "New ISO written to " << output << "\n";
  session.pending.clear();
  return ShellStep::kPrompt;
}

ShellStep updateFromTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  return runPatchCommand(session, argument, planUpdate);
}

}  // namespace discshell
