#include "local/extract.h"

#include "bytes/copy.h"

namespace discshell {

namespace {

// x keeps a local file that holds other bytes than the entry's (an edit is
// not to be lost), and leaves one that holds the same bytes as it is. A
// link there is never followed: it is kept as something the user put there.
std::optional<ExtractResult> keepExisting(const ImageFile& image, std::int32_t position,
                                          std::int32_t length, const platform::Directory& directory,
                                          const std::string& name, ByteComparer& compare) {
  const auto local = directory.entryStatus(name);
  if (!local || local->kind == platform::FileKind::kNone ||
      local->kind == platform::FileKind::kDirectory) {
    return std::nullopt;  // nothing to keep; a directory there fails the write as before
  }
  const auto file =
      local->kind == platform::FileKind::kRegular ? directory.openFile(name) : std::nullopt;
  if (file && compareWithEntry(compare, *file, image, position, length) == Comparison::kSame) {
    return ExtractResult{ExtractStatus::kWritten, file->length().value_or(0)};
  }
  return ExtractResult{ExtractStatus::kKept, 0};
}

}  // namespace

ExtractResult extractFile(const ImageFile& image, std::int32_t position, std::int32_t length,
                          const platform::Directory& directory, const std::string& name,
                          ExistingFile existingFile, ByteComparer* compare) {
  if (!platform::isSafeLocalName(name)) return {ExtractStatus::kUnsafeName, 0};
  // Links are followed here only to tell whether the name leads to the image:
  // writing over it would destroy what is being read.
  const auto existing = directory.entryStatus(name, true);
  if (isImage(existing, image)) return {ExtractStatus::kIsImage, 0};
  if (length < 0) return {ExtractStatus::kInvalidSize, 0};
  if (existingFile == ExistingFile::kKeepEdited) {
    ByteComparer ownComparer;
    if (auto kept = keepExisting(image, position, length, directory, name,
                                 compare != nullptr ? *compare : ownComparer)) {
      return *kept;
    }
  }

  auto pending = directory.createPending();
  if (!pending) return {ExtractStatus::kCannotWrite, 0};
  const CopyResult copy = copyBytes(image.file(), position, length, pending->file(), 0);
  if (copy.writeFailed) return {ExtractStatus::kCannotWrite, 0, copy.writeError};
  if (!pending->commit(name, existing)) return {ExtractStatus::kCannotWrite, 0};
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
    case ExtractStatus::kKept:
      return "Local file differs from the image; kept.\n";
  }
  return "";
}

std::int64_t extractedLength(std::int64_t imageLength, std::int32_t position,
                             std::int32_t byteCount) {
  if (position < 0 || byteCount < 0) return 0;
  return std::clamp<std::int64_t>(imageLength - position, 0, byteCount);
}

Comparison compareWithEntry(ByteComparer& compare, const platform::File& local,
                            const ImageFile& image, std::int32_t position, std::int32_t byteCount) {
  const auto imageLength = image.length();
  const auto localLength = local.length();
  if (!imageLength || !localLength) return Comparison::kUnreadable;
  const std::int64_t written = extractedLength(*imageLength, position, byteCount);
  if (*localLength != written) return Comparison::kDifferent;
  return compare(local, 0, image.file(), position, written);
}

}  // namespace discshell
