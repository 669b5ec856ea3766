// Commands on single entries: g, a, w, p and s.
#include <string>

#include "bytes/copy.h"
#include "console/commands.h"
#include "console/work_totals.h"
#include "edit/patch_plan.h"
#include "local/extract.h"
#include "local/local_name.h"
#include "output/replace.h"
#include "output/vcdiff_writer.h"
#include "volume/directory.h"

namespace discshell {
namespace {

// g and w: the entry of that exact name, or no value after saying so. A line
// without an argument runs no lookup.
std::optional<DirectoryEntry> lookUpFile(Session& session, std::int32_t directory,
                                         std::optional<std::string_view> name) {
  std::optional<DirectoryEntry> found;
  if (name) found = findEntry(session.image, session.geometry, directory, *name);
  if (!found) session.fail("File not found.\n");
  return found;
}

void reportExtraction(Session& session, const ExtractResult& result, std::int32_t length) {
  const std::string message = extractMessage(result, length);
  if (!message.empty()) session.fail(message);
}

// g and a: the entry `name` out to its local file, which is said where its
// name had to be escaped.
void extractEntry(Session& session, const platform::Directory& here, const DirectoryEntry& entry) {
  const std::string local = localName(entry.name);
  const ExtractResult result =
      extractFile(session.image, blockToOffset(session.geometry, entry.startBlock), entry.byteCount,
                  here, local);
  const bool written =
      result.status == ExtractStatus::kWritten || result.status == ExtractStatus::kEndedEarly;
  if (written && local != entry.name) {
    session.out << session.shown(entry.name) << ": written as " << session.shown(local) << ".\n";
  }
  reportExtraction(session, result, entry.byteCount);
}

}  // namespace

ShellStep getFile(Session& session, std::int32_t directory,
                  std::optional<std::string_view> argument) {
  const auto found = lookUpFile(session, directory, argument);
  if (!found) return ShellStep::kPrompt;
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const ProgressRun progress(session.progress,
                             ProgressTotal{std::int64_t{found->byteCount}, std::nullopt});
  extractEntry(session, *here, *found);
  return ShellStep::kPrompt;
}

ShellStep extractAll(Session& session, std::int32_t directory, std::optional<std::string_view>) {
  session.out << "\nSaving all files in directory...\n\n";
  const auto here = session.localDirectory();
  if (!here) return ShellStep::kPrompt;
  const ProgressRun progress(session.progress, [&] { return directoryWork(session, directory); });
  walkDirectory(session.image, session.geometry, directory, [&](const DirectoryEntry& entry) {
    session.out << session.shown(entry.name) << "...\n";
    reportFileStarted(entry.name);
    extractEntry(session, *here, entry);
    reportFileDone();
    return WalkStep::kContinue;
  });
  session.out << "\nDone.\n\n";
  return ShellStep::kPrompt;
}

ShellStep writePatchedImage(Session& session, std::int32_t directory,
                            std::optional<std::string_view> argument) {
  if (!argument) return writePendingChanges(session);
  if (!session.pending.empty()) {
    session.warn("Pending changes are not in this output; write them with w.\n");
  }
  const auto found = lookUpFile(session, directory, argument);
  if (!found) return ShellStep::kPrompt;
  // w writes the first copy only, from its first byte: over the header's
  // bytes the output would no longer be a volume.
  const std::int32_t position = blockToOffset(session.geometry, found->startBlock);
  if (overlapsVolumeHeader(session.geometry, position,
                           position + blocksLength(found->byteCount, session.geometry.blockSize))) {
    session.fail(*argument, "copy 0 overlaps the volume header.\n");
    return ShellStep::kPrompt;
  }
  const ProgressRun progress(session.progress, ProgressTotal{session.image.length(), std::nullopt});
  std::int64_t patchSize = 0;
  const OutputPlace output(session.outputPath, session.outputDirectory);
  const ReplaceResult result =
      replaceFile(session.image, position, found->byteCount, std::string(*argument), output,
                  session.out, session.patchOutput ? &patchSize : nullptr);
  if (result == ReplaceResult::kWritten) {
    session.out << (session.patchOutput ? patchWrittenMessage(session.outputPath, patchSize)
                                        : replaceMessage(result, session.outputPath));
  } else {
    session.fail(replaceMessage(result, session.outputPath));
  }
  return ShellStep::kPrompt;
}

ShellStep printEntry(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  if (!argument) {
    session.fail("File not found.\n");
    return ShellStep::kPrompt;
  }
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  if (!target->entry) {
    session.fail("File not found.\n");
    return ShellStep::kPrompt;
  }
  const DirectoryEntry& entry = *target->entry;
  if (entry.byteCount < 0) {
    session.fail("Invalid entry size.\n");
    return ShellStep::kPrompt;
  }
  // Exact bytes, except that a terminal gets them as the listings show names.
  DisplayStream display(session.terminalOutput);
  const auto write = [&](std::string_view bytes) {
    session.out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return session.out.good();
  };
  const CopyResult copy =
      copyBytes(session.image.file(), blockToOffset(session.geometry, entry.startBlock),
                entry.byteCount, [&](const unsigned char* data, std::size_t size) {
                  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
                  return session.terminalOutput ? write(display.add(bytes)) : write(bytes);
                });
  if (session.terminalOutput) write(display.finish());
  if (!copy.writeFailed && copy.copied < entry.byteCount) {
    reportExtraction(session, {ExtractStatus::kEndedEarly, copy.copied}, entry.byteCount);
  }
  return ShellStep::kPrompt;
}

ShellStep describeEntry(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  std::ostream& out = session.out;
  if (!target->entry) {
    out << "Path: " << session.shown(directoryPath(session, *target))
        << "\nPosition: " << target->directory << '\n';
    return ShellStep::kPrompt;
  }
  const DirectoryEntry& entry = *target->entry;
  const VolumeGeometry& geometry = session.geometry;
  WindowedReader reader(session.image);
  out << "Name: " << session.shown(entry.name) << "\nType: " << session.shown(entry.type)
      << "\nByte count: " << entry.byteCount
      << "\nDirectory: " << (isDirectory(reader, geometry, entry) ? "yes" : "no")
      << "\nStart block: " << entry.startBlock
      << "\nData position: " << blockToOffset(geometry, entry.startBlock)
      << "\nLast copy index: " << entry.lastCopyIndex << '\n';
  if (const auto copies = readCopyBlocks(reader, geometry, entry)) {
    for (std::size_t i = 0; i < copies->size(); ++i) {
      out << "Copy " << i << ": block " << (*copies)[i] << ", position "
          << blockToOffset(geometry, (*copies)[i]) << '\n';
    }
  } else {
    out << "Copies: the list runs past the directory block that holds the entry\n";
  }
  out << "Record position: " << entry.recordPosition << '\n';
  return ShellStep::kPrompt;
}

}  // namespace discshell
