// k and --map: a picture of the volume as an SVG file.
#include "bytes/progress.h"
#include "console/commands.h"
#include "console/startup.h"
#include "console/work_totals.h"
#include "output/map_writer.h"

namespace discshell {
namespace {

// The path the legend names: an entry's, or a directory's with its "/".
std::string focusPath(const Session& session, const PathArgument& target) {
  const std::string directory = directoryPath(session, target);
  if (!target.entry) return directory == "/" ? directory : directory + "/";
  return (directory == "/" ? directory : directory + "/") + target.entry->name;
}

// Why nothing was written, then that nothing was.
void refuse(Session& session, const std::string& file, const std::string& why) {
  session.fail(file, why);
  if (locateOutputFile(OutputPlace(file)).existed()) {
    session.fail("Nothing written; " + file + " is as it was.\n");
  } else {
    session.fail("Nothing written.\n");
  }
}

}  // namespace

void writeMap(Session& session, const std::string& file, const MapRequest& request) {
  const ProgressRun progress(session.progress, [&] { return checkWork(session); });
  const MapResult result =
      writeVolumeMap(session.image, session.geometry, request, OutputPlace(file), reportProgress);
  switch (result.outcome) {
    case MapOutcome::kWritten:
      session.out << "Map of " << counted(result.blocks, "block", "blocks") << " written to "
                  << session.shown(file) << ".\n";
      return;
    case MapOutcome::kIsImage:
      return refuse(session, file, "is the image.\n");
    case MapOutcome::kIsDirectory:
      return refuse(session, file, "is a directory.\n");
    case MapOutcome::kNotRegular:
      return refuse(session, file, "not a regular file.\n");
    case MapOutcome::kFailed:
      break;
  }
  refuse(session, file, "could not be written.\n");
}

ShellStep mapVolume(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto words = argument ? shellWords(*argument) : std::nullopt;
  if (!words || words->empty() || words->size() > 2) {
    session.fail("Usage: k FILE.svg [PATH]\n");
    return ShellStep::kPrompt;
  }
  MapRequest request;
  request.summary = volumeSummary(session.geometry);
  if (words->size() == 2) {
    const auto target = resolveArgument(session, (*words)[1]);
    if (!target) return ShellStep::kPrompt;
    // Below the root is everything: nothing to veil.
    if (target->entry) {
      request.focus.record = target->entry->recordPosition;
    } else if (target->directory != session.geometry.rootDirectoryOffset) {
      request.focus.directory = target->directory;
    }
    request.focusPath = focusPath(session, *target);
  }
  writeMap(session, words->front(), request);
  return ShellStep::kPrompt;
}

}  // namespace discshell
