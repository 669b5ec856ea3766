#include "transfer/extract.h"

#include "transfer/copy.h"

namespace discshell {

ExtractResult extractFile(const ImageFile& image, std::int32_t position, std::int32_t length,
                          const platform::Directory& directory, const std::string& name) {
  if (!platform::isSafeLocalName(name)) return {ExtractStatus::kUnsafeName, 0};
  // Links are followed here only to tell whether the name leads to the image:
  // writing over it would destroy what is being read.
  const auto existing = directory.entryStatus(name, true);
  if (isImage(existing, image)) return {ExtractStatus::kIsImage, 0};
  if (length < 0) return {ExtractStatus::kInvalidSize, 0};

  auto pending = directory.createPending();
  if (!pending) return {ExtractStatus::kCannotWrite, 0};
  const CopyResult copy = copyBytes(image.file(), position, length, pending->file(), 0);
  if (copy.writeFailed || !pending->commit(name, existing)) {
    return {ExtractStatus::kCannotWrite, 0};
  }
  if (copy.copied < length) return {ExtractStatus::kEndedEarly, copy.copied};
  return {ExtractStatus::kWritten, copy.copied};
}

std::string extractMessage(const ExtractResult& result, std::int32_t length) {
  switch (result.status) {
    case ExtractStatus::kWritten:
      return "";
    case ExtractStatus::kEndedEarly:
      return "Image ends early: " + std::to_string(result.written) + " of " +
             std::to_string(length) + " bytes written.\n";
    case ExtractStatus::kUnsafeName:
      return "Unsafe local file name.\n";
    case ExtractStatus::kIsImage:
      return "Local file would overwrite the image.\n";
    case ExtractStatus::kInvalidSize:
      return "Invalid entry size.\n";
    case ExtractStatus::kCannotWrite:
      return "Could not write local file.\n";
  }
  return "";
}

}  // namespace discshell
