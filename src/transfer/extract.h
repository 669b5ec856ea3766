// Copying an entry's data out of the image into a local file.
#pragma once

#include <cstdint>
#include <string>

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
};

struct ExtractResult {
  ExtractStatus status = ExtractStatus::kWritten;
  std::int64_t written = 0;
};

/// Writes `length` bytes of the image from byte position `position` to the
/// local file `name` in `directory`; the file appears only once complete. The refusals are checked
/// in this order: unsafe name, the image itself, negative length, and then whether the file can be
/// written. A negative position reads as no bytes.
[[nodiscard]] ExtractResult extractFile(const ImageFile& image, std::int32_t position,
                                        std::int32_t length, const platform::Directory& directory,
                                        const std::string& name);

/// What the console says about a result; empty when everything was written.
[[nodiscard]] std::string extractMessage(const ExtractResult& result, std::int32_t length);

}  // namespace discshell
