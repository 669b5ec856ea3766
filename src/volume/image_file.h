// The image, open read-only from start-up to the end of the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "volume/byte_source.h"

namespace discshell {

class ImageFile final : public ByteSource {
 public:
  /// No value when the path cannot be opened for reading, or is neither a
  /// regular file nor a block device.
  [[nodiscard]] static std::optional<ImageFile> open(const std::string& path);

  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override;
  [[nodiscard]] const platform::File& file() const { return file_; }
  /// Which file the image is, to tell it apart from every local file.
  [[nodiscard]] const platform::FileIdentity& identity() const { return identity_; }
  /// The image's length now; no value when it cannot be told.
  [[nodiscard]] std::optional<std::int64_t> length() const { return file_.length(); }
  /// How many reads the image has answered: the tests count walks by it.
  [[nodiscard]] std::uint64_t reads() const { return reads_; }

 private:
  ImageFile(platform::File file, const platform::FileIdentity& identity)
      : file_(std::move(file)), identity_(identity) {}
  platform::File file_;
  platform::FileIdentity identity_;
  mutable std::uint64_t reads_ = 0;
};

/// True when `status` describes the image itself (a hard or symbolic link to it included).
[[nodiscard]] inline bool isImage(const std::optional<platform::FileStatus>& status,
                                  const ImageFile& image) {
  return status && status->kind != platform::FileKind::kNone &&
         status->identity == image.identity();
}

}  // namespace discshell
