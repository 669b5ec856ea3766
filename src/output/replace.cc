#include "output/replace.h"

#include <limits>

#include "bytes/copy.h"
#include "output/output_file.h"
#include "output/vcdiff_writer.h"

namespace discshell {
namespace {

constexpr std::int64_t kLargestLength = std::numeric_limits<std::int32_t>::max();

void printProgress(std::ostream& console, std::int64_t imageLength, std::int64_t position,
                   std::int64_t replaced) {
  console << "ISO Length: " << imageLength << ", Address: " << position
          << ", Replacement Length: " << replaced << ".\n"
          << "Left to go: " << imageLength - (position + replaced) << " bytes";
}

// --patch: the delta for the one write, with the lines the image would get.
ReplaceResult writePatch(const ImageFile& image, const ImageChanges& changes,
                         const std::string& localName, std::int64_t imageLength,
                         std::ostream& console, platform::PendingFile& pending,
                         const OutputFile& output, std::int64_t& patchSize) {
  const LocalWriteView write = changes.files[0];
  printProgress(console, imageLength, write.positions.front(), write.length);
  if (write.positions.front() + write.length > imageLength) return ReplaceResult::kFailed;
  const PatchResult patch = encodeChanges(
      image.file(), imageLength, changes,
      [&](const std::string&) { return platform::openForReading(localName); }, pending.file());
  if (patch.write.outcome != WriteOutcome::kWritten || !output.stillReplaceable() ||
      !pending.commit(output.name, output.existing)) {
    return ReplaceResult::kFailed;
  }
  patchSize = patch.size;
  return ReplaceResult::kWritten;
}

}  // namespace

ReplaceResult replaceFile(const ImageFile& image, std::int32_t position, std::int32_t entryLength,
                          const std::string& localName, const OutputPlace& place,
                          std::ostream& console, std::int64_t* patchSize) {
  const auto local = platform::openForReading(localName);
  if (!local) return ReplaceResult::kLocalFileMissing;
  OutputFile output = locateOutputFile(place);
  if (!output.directory || output.isImage(image) || output.isDirectory()) {
    return ReplaceResult::kOutputUnavailable;
  }
  if (output.notRegular()) return ReplaceResult::kOutputNotRegular;
  auto pending = output.directory->createPending();
  if (!pending) return ReplaceResult::kOutputUnavailable;

  const auto replacementLength = local->length();
  if (!replacementLength) return ReplaceResult::kFailed;
  if (*replacementLength > entryLength || *replacementLength > kLargestLength) {
    return ReplaceResult::kTooLong;
  }
  const auto imageLength = image.length();
  if (!imageLength || *imageLength > kLargestLength) return ReplaceResult::kFailed;
  if (position < 0 || position > *imageLength) return ReplaceResult::kFailed;

  const std::int64_t replaced = *replacementLength;
  platform::File& out = pending->file();
  if (patchSize != nullptr) {
    const auto status = local->status();
    if (!status || status->size != replaced) return ReplaceResult::kFailed;
    const ImageChanges changes{
        {{localName, *status, replaced, {position}, {{position}, entryLength}}},
        {},
        {},
        *imageLength};
    return writePatch(image, changes, localName, *imageLength, console, *pending, output,
                      *patchSize);
  }
  // The whole image first, in one copy that the file system may turn into
  // shared blocks, then the replacement over it. A copy that fails is
  // reported where the image would have failed in three pieces: in its head
  // or the replacement without the progress lines, in its rest after them.
  const CopyResult imageCopy = copyWholeFile(image.file(), *imageLength, out);
  if (imageCopy.copied < position || !copyExactly(*local, 0, replaced, out, position)) {
    return ReplaceResult::kFailed;
  }
  const std::int64_t rest = *imageLength - (position + replaced);
  printProgress(console, *imageLength, position, replaced);
  if (rest < 0 || imageCopy.copied < *imageLength || !output.stillReplaceable() ||
      !pending->commit(output.name, output.existing)) {
    return ReplaceResult::kFailed;
  }
  return ReplaceResult::kWritten;
}

std::string replaceMessage(ReplaceResult result, const std::string& outputPath) {
  switch (result) {
    case ReplaceResult::kWritten:
      return "New ISO written to " + outputPath + "\n";
    case ReplaceResult::kLocalFileMissing:
      return "Could not find file on local drive.\n";
    case ReplaceResult::kOutputUnavailable:
      return "Could not open output file.\n";
    case ReplaceResult::kTooLong:
      return "Replacement file is bigger than original.  Write failed.\n";
    case ReplaceResult::kOutputNotRegular:
      return outputPath + ": not a regular file.\n";
    case ReplaceResult::kFailed:
      break;
  }
  return "Unknown error.\n";
}

}  // namespace discshell
