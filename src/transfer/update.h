// u: writing output.iso with every changed file of the local tree put back
// into every copy of its entry's data, in one pass over the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "volume/directory.h"
#include "volume/image_file.h"

namespace discshell {

/// One entry to replace: the local file at `path` goes over the start of
/// each copy of the entry's data.
struct Replacement {
  std::string path;
  std::int64_t length = 0;
  std::vector<std::int32_t> positions;  ///< of each copy, in the entry's order
};

struct UpdateProblem {
  std::string subject;  ///< a path, or the output's
  std::string message;  ///< ends with a line end
};

/// Everything u found before writing. Only a plan without problems is written.
struct UpdatePlan {
  std::vector<Replacement> replacements;
  std::vector<UpdateProblem> problems;
  std::vector<std::string> revisits;  ///< directories met again, not entered again
};

/// Compares every file entry below the directory at `directoryOffset` with
/// the local file where x would have written it below `top`, and checks
/// each replacement: its length, where its copies lie, overlaps with other
/// replacements, and the output `outputPath`. A missing local file, or one
/// that holds exactly what x would write, is left alone; a symbolic link
/// where x writes is a problem, and is never followed.
[[nodiscard]] UpdatePlan planDirectoryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                                             const platform::Directory& top,
                                             std::int32_t directoryOffset,
                                             const std::string& outputPath);
/// The same for one entry (a file, or a directory and all below it) under its own name.
[[nodiscard]] UpdatePlan planEntryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                                         const platform::Directory& top,
                                         const DirectoryEntry& entry,
                                         const std::string& outputPath);

/// Writes `outputPath` for a plan without problems: one pass over the
/// image, copied by the kernel, with every copy of each replacement written
/// over it. Built as w builds it, so a failure leaves an earlier output as
/// it was; false then.
[[nodiscard]] bool writeUpdatedImage(const ImageFile& image, const platform::Directory& top,
                                     const UpdatePlan& plan, const std::string& outputPath);

}  // namespace discshell
