// Writing the output of u and r: the whole image first, in one copy (a
// clone where the file system can), then every change over it, in a file
// that appears under its name only once complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transfer/output_file.h"
#include "volume/image_file.h"

namespace discshell {

/// A local file written at each of `positions` (sorted).
struct LocalWrite {
  std::string path;             ///< below the local top, as x names local files
  platform::FileStatus status;  ///< as it was when the plan read it
  std::int64_t length = 0;
  std::vector<std::int64_t> positions;
};

/// Bytes of the volume's own: a record, a header field.
struct ByteWrite {
  std::int64_t position = 0;
  std::string bytes;
};

struct ImageChanges {
  std::vector<LocalWrite> files;
  std::vector<ByteWrite> bytes;
  /// The output's length: the image's, or more where data goes behind it.
  /// Whatever lies between the image's end and it, and is not written, is zeros.
  std::int64_t length = 0;
};

enum class WriteOutcome { kWritten, kLocalFileChanged, kFailed };

struct WriteResult {
  WriteOutcome outcome = WriteOutcome::kFailed;
  std::string path;  ///< the local file that changed
};

/// Writes the output: the image with `changes` over it. Each local file
/// must still be as the plan read it, before and after its bytes are copied;
/// otherwise, as on any failure, nothing is put in place and an earlier
/// output stays as it was. Only a regular file, or nothing, at the output's
/// name is replaced.
[[nodiscard]] WriteResult writeChangedImage(const ImageFile& image, const platform::Directory& top,
                                            const ImageChanges& changes, const OutputPlace& output);

}  // namespace discshell
