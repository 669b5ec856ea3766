// Where w, u and r put the patched image: "output.iso" in the current
// directory, or the file that -o names.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "volume/image_file.h"

namespace discshell {

inline constexpr const char* kOutputImageName = "output.iso";

/// The output's directory, opened, and its name there.
struct OutputFile {
  std::optional<platform::Directory> directory;  ///< no value when it cannot be opened
  std::string name;
  std::optional<platform::FileStatus> existing;  ///< what stands there now, links followed

  [[nodiscard]] bool isImage(const ImageFile& image) const {
    return discshell::isImage(existing, image);
  }
  [[nodiscard]] bool isDirectory() const {
    return existing && existing->kind == platform::FileKind::kDirectory;
  }
  [[nodiscard]] bool existed() const {
    return existing && existing->kind != platform::FileKind::kNone;
  }
};

/// Looks at `path` as the output: the directory that would hold it and what
/// stands there now.
[[nodiscard]] OutputFile locateOutputFile(const std::string& path);

}  // namespace discshell
