// w alone: every pending change of i, e and n in one output.
#include "console/pending_write.h"

#include "console/commands.h"
#include "console/patch_command.h"
#include "console/work_totals.h"
#include "output/output_file.h"

namespace discshell {
namespace {

std::string notWritten(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " change was" : " changes were") + " not written.\n";
}

}  // namespace

std::optional<TreeEditPlan> planPendingWrite(Session& session, ImageChanges base,
                                             std::vector<RecordChange> records) {
  TreeEditPlan plan =
      planTreeEdits(session.image, session.geometry, session.pending, std::move(base),
                    std::move(records), OutputPlace(session.outputPath, session.outputDirectory));
  if (plan.problems.empty()) return plan;
  for (const PatchProblem& problem : plan.problems) session.fail(problem.subject, problem.message);
  reportNothingWritten(session);
  return std::nullopt;
}

void printPendingLines(Session& session) {
  for (const std::string& line : session.pending.lines()) {
    session.out << session.shown(line) << '\n';
  }
}

void reportNothingWritten(Session& session) {
  const OutputPlace output(session.outputPath, session.outputDirectory);
  if (locateOutputFile(output).existed()) {
    session.fail("Nothing written; " + output.path + " is as it was.\n");
  } else {
    session.fail("Nothing written.\n");
  }
}

void reportWriteFailed(Session& session, bool existed, platform::ErrorCode error) {
  session.fail("Could not write " + session.outputPath +
               (error != 0 ? ": " + platform::errorText(error) : "") +
               (existed ? "; it is as it was.\n" : ".\n"));
}

bool mayEndWithPending(Session& session) {
  if (session.pending.empty()) return true;
  if (session.batch) {
    session.fail(notWritten(session.pending.size()));
    return true;
  }
  if (session.warnedAt == session.pending.revision()) return true;
  session.warn(notWritten(session.pending.size()));
  session.warnedAt = session.pending.revision();
  return false;
}

bool mayEndAtEndOfInput(Session& session) {
  if (!session.terminalInput || session.batch || session.pending.empty() ||
      session.warnedAt == session.pending.revision()) {
    return true;
  }
  const std::size_t count = session.pending.size();
  const std::string_view them = count == 1 ? "it" : "them";
  // The end of input leaves the cursor behind the prompt.
  session.warn("\n" + counted(static_cast<std::int64_t>(count), "change is", "changes are") +
               " not written: w writes " + std::string(them) + ", or press " +
               std::string(platform::endOfInputKeys()) + " again to leave without " +
               std::string(them) + ".\n");
  session.warnedAt = session.pending.revision();
  return false;
}

void warnPendingAtEnd(Session& session) {
  if (session.pending.empty()) return;
  // No command is running: the message names none.
  session.commandOrigin.clear();
  if (session.batch) session.errors << "discshell: ";
  session.fail(notWritten(session.pending.size()));
}

ShellStep writePendingChanges(Session& session) {
  if (session.pending.empty()) {
    session.fail("Nothing to write: no changes are pending.\n");
    return ShellStep::kPrompt;
  }
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  ImageChanges none;
  none.length = session.image.length().value_or(0);
  std::optional<TreeEditPlan> plan;
  {
    const ProgressRun planning(session.progress, ProgressTotal{std::nullopt, std::nullopt});
    plan = planPendingWrite(session, std::move(none), {});
  }
  if (!plan) return ShellStep::kPrompt;
  const OutputPlace output(session.outputPath, session.outputDirectory);
  const bool existed = locateOutputFile(output).existed();
  const ProgressRun writing(session.progress, imageWriteWork(session, plan->changes));
  const OutputWritten written = writeOutput(session, *here, plan->changes);
  if (written.result.outcome == WriteOutcome::kLocalFileChanged) {
    session.fail(written.result.path, "local file changed since i added it.\n");
    reportNothingWritten(session);
  } else if (written.result.outcome == WriteOutcome::kFailed) {
    reportWriteFailed(session, existed, written.result.error);
  } else {
    printPendingLines(session);
    session.out << written.message;
    session.pending.clear();
  }
  return ShellStep::kPrompt;
}

}  // namespace discshell
