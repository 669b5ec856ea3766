// u and r: patch every changed file of the local tree into output.iso.
#include <algorithm>

#include "console/patch_command.h"
#include "console/pending_write.h"
#include "console/work_totals.h"
#include "edit/update_plan.h"
#include "local/local_tree.h"
#include "output/output_file.h"
#include "output/vcdiff_writer.h"

namespace discshell {
namespace {

// Nothing was written: say whether an earlier output is still there.
void refuse(Session& session, const OutputPlace& output) {
  if (locateOutputFile(output).existed()) {
    session.fail("Nothing written; " + output.path + " is as it was.\n");
  } else {
    session.fail("Nothing written.\n");
  }
}

void printLines(Session& session, const PatchPlan& plan) {
  for (const PatchLine& line : plan.lines) {
    session.out << session.shown(line.path) << ": " << counted(line.length, "byte", "bytes");
    if (!line.movedTo.empty()) {
      session.out << ", moved to " << blockList(line.movedTo) << '\n';
    } else {
      session.out << " into " << line.copies << (line.copies == 1 ? " copy\n" : " copies\n");
    }
  }
}

// Local files that u and r leave out because no entry means them: a new
// file is never added to the image.
void printUntracked(Session& session, const PatchPlan& plan) {
  for (const std::string& path : plan.untracked) {
    session.out << session.shown(path) << ": no entry in the image; not added.\n";
  }
  if (plan.untrackedCount > plan.untracked.size()) {
    session.out << "... and " << plan.untrackedCount - plan.untracked.size()
                << " more with no entry in the image.\n";
  }
}

// The local files that waiting i commands add, which have no entry yet.
std::vector<std::string> addedLocalPaths(const Session& session) {
  std::vector<std::string> paths;
  const std::vector<AddedEntry>& added = session.pending.added();
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (added[i].parent.inImage() && !added[i].erased)
      paths.push_back(session.pending.localPath(i));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace

std::string blockList(const std::vector<std::int32_t>& blocks) {
  std::string text = blocks.size() == 1 ? "block " : "blocks ";
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i > 0) text += i + 1 == blocks.size() ? " and " : ", ";
    text += std::to_string(blocks[i]);
  }
  return text;
}

OutputWritten writeOutput(const Session& session, const platform::Directory& top,
                          const ImageChanges& changes) {
  const OutputPlace output(session.outputPath, session.outputDirectory);
  if (!session.patchOutput) {
    return {writeChangedImage(session.image, filesBelow(top), changes, output),
            "New ISO written to " + output.path + "\n"};
  }
  const PatchResult patch = writeChangesPatch(session.image, filesBelow(top), changes, output);
  return {patch.write, patchWrittenMessage(output.path, patch.size)};
}

namespace {

// Runs the planner over the target's tree, with the comparisons counted
// as progress.
PatchPlan planPatch(Session& session, const PathArgument& target, PatchPlanner planner,
                    const platform::Directory& here, const OutputPlace& output) {
  // The output is no local file of the tree, even where it lies in it.
  const auto outputStatus = locateOutputFile(output).existing;
  const ProgressRun comparing(session.progress, [&] {
    return ProgressTotal{treeWork(session, target).bytes, std::nullopt};
  });
  std::vector<Level> levels(session.levels.begin(),
                            session.levels.begin() + static_cast<std::ptrdiff_t>(target.keep));
  levels.insert(levels.end(), target.down.begin(), target.down.end());
  return planner(session.image, session.geometry, here,
                 {target.entry, target.directory, shellPath(session),
                  outputStatus && outputStatus->kind != platform::FileKind::kNone
                      ? std::optional(outputStatus->identity)
                      : std::nullopt,
                  addedLocalPaths(session), &session.pending, std::move(levels)},
                 output);
}

// The plan's revisits, untracked files and problems; false when it may not
// be written.
bool reportPlan(Session& session, const PatchPlan& plan, const OutputPlace& output) {
  for (const std::string& path : plan.revisits) {
    session.out << session.shown(path) << ": directory already visited, not entered again\n";
  }
  if (!plan.noLocalFiles) printUntracked(session, plan);
  if (plan.noLocalFiles && plan.problems.empty()) {
    session.fail(
        "No local files of this tree here: run x first, or change to where x wrote them.\n");
    return false;
  }
  if (!plan.problems.empty()) {
    for (const PatchProblem& problem : plan.problems)
      session.fail(problem.subject, problem.message);
    refuse(session, output);
    return false;
  }
  return true;
}

// Writes `changes` and says what came of it; true when the output is in place.
bool writeReported(Session& session, const platform::Directory& here, const ImageChanges& changes,
                   const OutputPlace& output, std::string& message) {
  const bool existed = locateOutputFile(output).existed();
  const ProgressRun writing(session.progress, imageWriteWork(session, changes));
  const OutputWritten written = writeOutput(session, here, changes);
  if (written.result.outcome == WriteOutcome::kLocalFileChanged) {
    session.fail(written.result.path, "local file changed while it was read.\n");
    refuse(session, output);
    return false;
  }
  if (written.result.outcome == WriteOutcome::kFailed) {
    reportWriteFailed(session, existed, written.result.error);
    return false;
  }
  message = written.message;
  return true;
}

}  // namespace

ShellStep runPatchCommand(Session& session, std::optional<std::string_view> argument,
                          PatchPlanner planner) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const OutputPlace output(session.outputPath, session.outputDirectory);
  PatchPlan plan = planPatch(session, *target, planner, *here, output);
  if (!reportPlan(session, plan, output)) return ShellStep::kPrompt;
  // The pending changes of i, e and n go into the same output, their lines first.
  std::optional<TreeEditPlan> pending;
  if (!session.pending.empty()) {
    pending = planPendingWrite(session, plan.changes, std::move(plan.records));
    if (!pending) return ShellStep::kPrompt;
  } else {
    writeInPlace(std::move(plan.records), plan.changes);
  }
  if (plan.lines.empty() && !pending) {
    session.out << "Nothing to replace: every local file matches the image.\n";
    return ShellStep::kPrompt;
  }
  std::string message;
  if (!writeReported(session, *here, pending ? pending->changes : plan.changes, output, message)) {
    return ShellStep::kPrompt;
  }
  if (pending) printPendingLines(session);
  printLines(session, plan);
  session.out << message;
  session.pending.clear();
  return ShellStep::kPrompt;
}

ShellStep updateFromTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  return runPatchCommand(session, argument, planUpdate);
}

}  // namespace discshell
