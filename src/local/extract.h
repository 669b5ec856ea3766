// Copying an entry's data out of the image into a local file.
#pragma once

#include <cstdint>
#include <string>

#include "bytes/compare.h"
#include "platform/platform.h"
#include "volume/image_file.h"

namespace discshell {

enum class ExtractStatus {
  kWritten,      ///< every byte of the entry is in the local file
  kEndedEarly,   ///< the image ended first; the bytes that exist were written
  kUnsafeName,   ///< the name would leave its directory
  kIsImage,      ///< the local file is the open image itself
  kInvalidSize,  ///< a negative byte count
  kCannotWrite,  ///< the local file could not be created or written
  kKept,         ///< a local file with other bytes stands there and was kept
};

/// What to do with a local file that already stands at the name.
enum class ExistingFile {
  kReplace,     ///< g and a: replace it
  kKeepEdited,  ///< x: keep it when it holds other bytes than the entry's; when it holds
                ///< the same bytes, leave it and count it as written
};

struct ExtractResult {
  ExtractStatus status = ExtractStatus::kWritten;
  std::int64_t written = 0;
  platform::ErrorCode error = 0;  ///< why a write failed, where the system said
};

/// Writes `length` bytes of the image from byte position `position` to the
/// local file `name` in `directory`; the file appears only once complete.
/// The refusals are checked in this order: unsafe name, the image itself,
/// negative length, a local file to keep, and then whether the file can be
/// written. A negative position reads as no bytes.
[[nodiscard]] ExtractResult extractFile(const ImageFile& image, std::int32_t position,
                                        std::int32_t length, const platform::Directory& directory,
                                        const std::string& name,
                                        ExistingFile existingFile = ExistingFile::kReplace,
                                        ByteComparer* compare = nullptr);

/// What the console says about a result; empty when everything was written.
[[nodiscard]] std::string extractMessage(const ExtractResult& result, std::int32_t length);

/// The bytes x writes for an entry whose data starts at `position` and
/// claims `byteCount` bytes: as many as the image holds of them.
[[nodiscard]] std::int64_t extractedLength(std::int64_t imageLength, std::int32_t position,
                                           std::int32_t byteCount);

/// Whether `local` holds exactly the bytes x writes for that entry.
[[nodiscard]] Comparison compareWithEntry(ByteComparer& compare, const platform::File& local,
                                          const ImageFile& image, std::int32_t position,
                                          std::int32_t byteCount);

}  // namespace discshell
