// w: the patched image with one entry's data overwritten in place.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "output/output_file.h"
#include "volume/image_file.h"

namespace discshell {

enum class ReplaceResult : int {
  kWritten = 0,
  kLocalFileMissing = -1,   ///< the local file cannot be opened for reading
  kOutputUnavailable = -2,  ///< the output cannot be written (or is the image)
  kTooLong = -3,            ///< the local file is longer than the entry
  kFailed = -4,             ///< a position outside the image, a short read or a failed write
  kOutputNotRegular = -5,   ///< a link, a FIFO, a device or a socket stands at the output's name
};

/// Writes the output file: the image, except that the bytes from
/// `position` on are the local file's. The file is built nameless and put
/// in place only on success, so any failure leaves an earlier one as it
/// was. Prints the two progress lines to `console` once the head and the
/// replacement are copied. With `patchSize`, the file holds instead a delta
/// that turns the image into that output (see vcdiff_writer.h), and its
/// length goes there.
[[nodiscard]] ReplaceResult replaceFile(const ImageFile& image, std::int32_t position,
                                        std::int32_t entryLength, const std::string& localName,
                                        const OutputPlace& output, std::ostream& console,
                                        std::int64_t* patchSize = nullptr);

/// The console message for a result; `outputPath` is named on success.
[[nodiscard]] std::string replaceMessage(ReplaceResult result, const std::string& outputPath);

}  // namespace discshell
