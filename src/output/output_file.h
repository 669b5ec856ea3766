// Where w, u and r put the patched image: "output.iso" in the local
// directory, or the file that -o names, found from where the run started.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "volume/image_file.h"

namespace discshell {

inline constexpr const char* kOutputImageName = "output.iso";

/// The output as the user named it: the path, for messages, and for -o the
/// directory that holds it, opened where the run started (so that -C does
/// not move it). Without that directory the path is found from the
/// current directory.
struct OutputPlace {
  OutputPlace(std::string given = kOutputImageName,
              std::shared_ptr<const platform::Directory> opened = nullptr)
      : path(std::move(given)), directory(std::move(opened)) {}
  std::string path;
  std::shared_ptr<const platform::Directory> directory;
};

/// The output's directory, opened, and its name there.
struct OutputFile {
  std::optional<platform::Directory> directory;  ///< no value when it cannot be opened
  std::string name;
  std::optional<platform::FileStatus> existing;  ///< what stands there now, links followed
  std::optional<platform::FileStatus> standing;  ///< the same, a link itself

  [[nodiscard]] bool isImage(const ImageFile& image) const {
    return discshell::isImage(existing, image);
  }
  [[nodiscard]] bool isDirectory() const {
    return existing && existing->kind == platform::FileKind::kDirectory;
  }
  [[nodiscard]] bool existed() const {
    return existing && existing->kind != platform::FileKind::kNone;
  }
  /// Something stands there that is not a regular file: a symbolic link, a
  /// FIFO, a device, a socket. Such a node is never replaced.
  [[nodiscard]] bool notRegular() const { return standing && !holdsRegularOrNothing(standing); }
  /// Whether the name still holds a regular file or nothing, as a moment ago.
  [[nodiscard]] bool stillReplaceable() const;

  [[nodiscard]] static bool holdsRegularOrNothing(const std::optional<platform::FileStatus>& at);
};

/// Looks at the output: the directory that would hold it and what stands
/// there now.
[[nodiscard]] OutputFile locateOutputFile(const OutputPlace& place);

/// The output that -o names, looked at as the run starts, before any work:
/// its directory opened from the current directory. No value when it is
/// refused, and `refusal` says why ("OUTPUT: not a regular file.").
[[nodiscard]] std::optional<OutputPlace> openOutputPlace(const std::string& path,
                                                         std::string& refusal);

}  // namespace discshell
