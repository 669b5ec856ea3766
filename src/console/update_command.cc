// u: patch every changed file of the local tree into output.iso.
#include "console/commands.h"
#include "transfer/update.h"

namespace discshell {

ShellStep updateFromTree(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const ProgressRun progress(session.progress, std::nullopt);
  const std::string& output = session.outputPath;
  const UpdatePlan plan =
      target->entry
          ? planEntryUpdate(session.image, session.geometry, *here, *target->entry, output)
          : planDirectoryUpdate(session.image, session.geometry, *here, target->directory, output);
  for (const std::string& path : plan.revisits) {
    session.out << session.shown(path) << ": directory already visited, not entered again\n";
  }
  if (!plan.problems.empty()) {
    for (const UpdateProblem& problem : plan.problems)
      session.fail(problem.subject, problem.message);
    session.fail("Nothing written; " + output + " is as it was.\n");
    return ShellStep::kPrompt;
  }
  if (plan.replacements.empty()) {
    session.out << "Nothing to replace: every local file matches the image.\n";
    return ShellStep::kPrompt;
  }
  if (!writeUpdatedImage(session.image, *here, plan, output)) {
    session.fail("Could not write " + output + "; it is as it was.\n");
    return ShellStep::kPrompt;
  }
  for (const Replacement& replacement : plan.replacements) {
    const std::size_t copies = replacement.positions.size();
    session.out << session.shown(replacement.path) << ": " << replacement.length << " bytes into "
                << copies << (copies == 1 ? " copy\n" : " copies\n");
  }
  session.out << "New ISO written to " << output << "\n";
  return ShellStep::kPrompt;
}

}  // namespace discshell
