// v: check the whole volume, whatever the current directory.
#include "bytes/progress.h"
#include "console/commands.h"
#include "console/work_totals.h"
#include "volume/check.h"

namespace discshell {

std::string counted(std::int64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + ' ' + std::string(count == 1 ? one : many);
}

ShellStep checkWholeVolume(Session& session, std::int32_t, std::optional<std::string_view>) {
  const ProgressRun progress(session.progress, [&] { return checkWork(session); });
  const CheckTotals totals = checkVolume(
      session.image, session.geometry,
      [&](const std::string& path, const std::string& what) {
        session.out << session.shown(path + ": " + what) << '\n';
      },
      reportProgress);
  session.out << "Checked " << counted(totals.directories, "directory", "directories") << " and "
              << counted(totals.files, "file", "files") << ": "
              << counted(totals.problems, "problem", "problems") << ".\n";
  // Problems are what v reports, not failures of its own: they stay on
  // standard output, and only the batch's exit status tells of them.
  if (totals.problems > 0) session.failed = true;
  return ShellStep::kPrompt;
}

}  // namespace discshell
