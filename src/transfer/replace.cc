#include "transfer/replace.h"

#include <sys/stat.h>

#include <limits>

#include "transfer/copy.h"
#include "transfer/local_file.h"

namespace discshell {
namespace {

constexpr std::int64_t kLargestLength = std::numeric_limits<std::int32_t>::max();

}  // namespace

ReplaceResult replaceFile(const ImageFile& image, std::int32_t position, std::int32_t entryLength,
                          const std::string& localName, std::ostream& console) {
  const auto local = openForReading(localName);
  if (!local) return ReplaceResult::kLocalFileMissing;
  const auto existing = statPath(kOutputImageName);
  if (existing && (sameFile(*existing, image.identity()) || S_ISDIR(existing->st_mode))) {
    return ReplaceResult::kOutputUnavailable;
  }
  auto output = PendingFile::create("");
  if (!output) return ReplaceResult::kOutputUnavailable;

  const auto replacementLength = fileLength(local->get());
  if (!replacementLength) return ReplaceResult::kFailed;
  if (*replacementLength > entryLength || *replacementLength > kLargestLength) {
    return ReplaceResult::kTooLong;
  }
  const auto imageLength = fileLength(image.fd());
  if (!imageLength || *imageLength > kLargestLength) return ReplaceResult::kFailed;
  if (position < 0 || position > *imageLength) return ReplaceResult::kFailed;

  const std::int64_t replaced = *replacementLength;
  if (!copyExactly(image.fd(), 0, position, output->fd()) ||
      !copyExactly(local->get(), 0, replaced, output->fd())) {
    return ReplaceResult::kFailed;
  }
  const std::int64_t rest = *imageLength - (position + replaced);
  console << "ISO Length: " << *imageLength << ", Address: " << position
          << ", Replacement Length: " << replaced << ".\n"
          << "Left to go: " << rest << " bytes";
  if (rest < 0 || !copyExactly(image.fd(), position + replaced, rest, output->fd()) ||
      !output->commit(kOutputImageName, existing)) {
    return ReplaceResult::kFailed;
  }
  return ReplaceResult::kWritten;
}

std::string_view replaceMessage(ReplaceResult result) {
  switch (result) {
    case ReplaceResult::kWritten:
      return "New ISO written to output.iso\n";
    case ReplaceResult::kLocalFileMissing:
      return "Could not find file on local drive.\n";
    case ReplaceResult::kOutputUnavailable:
      return "Could not open output file.\n";
    case ReplaceResult::kTooLong:
      return "Replacement file is bigger than original.  Write failed.\n";
    case ReplaceResult::kFailed:
      break;
  }
  return "Unknown error.\n";
}

}  // namespace discshell
