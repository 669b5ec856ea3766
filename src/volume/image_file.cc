#include "volume/image_file.h"

namespace discshell {

std::optional<ImageFile> ImageFile::open(const std::string& path) {
  auto file = platform::openImage(path);
  if (!file) return std::nullopt;
  const auto status = file->status();
  if (!status) return std::nullopt;
  return ImageFile(std::move(*file), status->identity);
}

std::size_t ImageFile::readAt(std::int64_t position, std::span<unsigned char> out) const {
  ++reads_;
  return file_.readAt(position, out);
}

}  // namespace discshell
