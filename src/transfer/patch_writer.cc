#include "transfer/patch_writer.h"

#include <algorithm>
#include <array>

#include "transfer/copy.h"
#include "transfer/local_tree.h"
#include "transfer/output_file.h"
#include "transfer/progress.h"

namespace discshell {
namespace {

bool unchanged(const platform::File& file, const platform::FileStatus& planned) {
  const auto now = file.status();
  return now && now->unchangedSince(planned);
}

bool writeZeros(platform::File& file, std::int64_t begin, std::int64_t end) {
  static const std::array<unsigned char, 64 * 1024> kZeros{};
  while (begin < end) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(end - begin, static_cast<std::int64_t>(kZeros.size())));
    if (!file.writeAt(begin, {kZeros.data(), n})) return false;
    begin += static_cast<std::int64_t>(n);
  }
  return true;
}

// Copies the image into `out` around the stretches the local files will
// cover, so that every byte of the output is written once, as cp writes it.
bool copyAroundChanges(const ImageFile& image, std::int64_t imageLength,
                       const ImageChanges& changes, platform::File& out) {
  std::vector<std::pair<std::int64_t, std::int64_t>> covered;
  for (const LocalWrite& write : changes.files) {
    for (const std::int64_t position : write.positions) {
      const std::int64_t end = std::min(position + write.length, imageLength);
      if (position < end) covered.emplace_back(position, end);
    }
  }
  std::sort(covered.begin(), covered.end());
  std::int64_t copied = 0;
  for (const auto& [begin, end] : covered) {
    if (begin > copied && !copyExactly(image.file(), copied, begin - copied, out, copied)) {
      return false;
    }
    copied = std::max(copied, end);
  }
  return copyExactly(image.file(), copied, imageLength - copied, out, copied);
}

}  // namespace

WriteResult writeChangedImage(const ImageFile& image, const platform::Directory& top,
                              const ImageChanges& changes, const std::string& outputPath) {
  OutputFile output = locateOutputFile(outputPath);
  if (!output.directory || output.isImage(image)) return {};
  const auto imageLength = image.length();
  auto pending = output.directory->createPending();
  // The image shares its blocks with the output where the file system can
  // (a clone costs next to nothing) and the changes go over it; elsewhere
  // the image is copied only around the local files' stretches.
  if (!imageLength || !pending) return {};
  platform::File& out = pending->file();
  if (!platform::cloneWholeFile(image.file(), out)) {
    if (!copyAroundChanges(image, *imageLength, changes, out)) return {};
  } else {
    reportProgress(*imageLength);
  }
  std::int64_t written = *imageLength;
  for (const LocalWrite& write : changes.files) {
    const auto local = openBelow(top, write.path);
    if (!local || !unchanged(*local, write.status)) {
      return {WriteOutcome::kLocalFileChanged, write.path};
    }
    for (const std::int64_t position : write.positions) {
      if (!copyExactly(*local, 0, write.length, out, position)) {
        return unchanged(*local, write.status)
                   ? WriteResult{}
                   : WriteResult{WriteOutcome::kLocalFileChanged, write.path};
      }
    }
    if (!unchanged(*local, write.status)) return {WriteOutcome::kLocalFileChanged, write.path};
    if (!write.positions.empty())
      written = std::max(written, write.positions.back() + write.length);
  }
  // A write behind the end leaves zeros in between; only the last piece
  // up to the full length has to be written.
  if (changes.length > written && !writeZeros(out, written, changes.length)) return {};
  for (const ByteWrite& write : changes.bytes) {
    const std::span<const unsigned char> bytes(
        reinterpret_cast<const unsigned char*>(write.bytes.data()), write.bytes.size());
    if (!out.writeAt(write.position, bytes)) return {};
  }
  if (!pending->commit(output.name, output.existing)) return {};
  return {WriteOutcome::kWritten, ""};
}

}  // namespace discshell
