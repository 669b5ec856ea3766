#include "transfer/update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "transfer/copy.h"
#include "transfer/local_file.h"
#include "transfer/replace.h"
#include "volume/tree.h"

namespace discshell {
namespace {

constexpr std::size_t kCompareChunk = 64 * 1024;

enum class Comparison { kSame, kDifferent, kUnreadable };

// Compares `length` bytes of two files, each from its own position, through
// two buffers that one plan reuses for every comparison.
class ByteComparer {
 public:
  Comparison operator()(int a, std::int64_t aPosition, int b, std::int64_t bPosition,
                        std::int64_t length) {
    for (std::int64_t done = 0; done < length;) {
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(length - done, static_cast<std::int64_t>(kCompareChunk)));
      if (readAt(a, aPosition + done, {left_.data(), n}) != n) return Comparison::kUnreadable;
      if (readAt(b, bPosition + done, {right_.data(), n}) != n) return Comparison::kUnreadable;
      if (std::memcmp(left_.data(), right_.data(), n) != 0) return Comparison::kDifferent;
      done += static_cast<std::int64_t>(n);
    }
    return Comparison::kSame;
  }

 private:
  std::vector<unsigned char> left_ = std::vector<unsigned char>(kCompareChunk);
  std::vector<unsigned char> right_ = std::vector<unsigned char>(kCompareChunk);
};

// The stretch one copy of a replacement covers in the image.
struct Stretch {
  std::int64_t begin;
  std::int64_t end;
  const Replacement* replacement;
};

std::vector<Stretch> sortedStretches(const UpdatePlan& plan) {
  std::vector<Stretch> stretches;
  for (const Replacement& replacement : plan.replacements) {
    for (const std::int32_t position : replacement.positions) {
      if (replacement.length > 0) {
        stretches.push_back({position, position + replacement.length, &replacement});
      }
    }
  }
  std::sort(stretches.begin(), stretches.end(),
            [](const Stretch& a, const Stretch& b) { return a.begin < b.begin; });
  return stretches;
}

class UpdatePlanner final : public TreeVisitor {
 public:
  UpdatePlanner(const ImageFile& image, const VolumeGeometry& geometry)
      : image_(image),
        geometry_(geometry),
        imageLength_(fileLength(image.fd()).value_or(0)),
        reader_(image) {}

  // Where x would have written nothing (an unsafe name, a path too long, a
  // byte count below 0, the image itself) there is nothing to put back.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (!isSafeLocalName(entry.name) || path.size() >= PATH_MAX) return false;
    struct stat local {};
    if (::stat(path.c_str(), &local) != 0) {
      if (errno != ENOENT) problem(path, "local file cannot be read.\n");
      return false;
    }
    // x writes nothing for an entry at block 0 (it is not found, as for g),
    // so whatever stands at its place is not the entry's.
    if (entry.startBlock == 0) {
      problem(path, "File not found.\n");
      return false;
    }
    if (directory != S_ISDIR(local.st_mode)) {
      problem(path, directory ? "local file where the entry is a directory.\n"
                              : "local directory where the entry is a file.\n");
      return false;
    }
    if (!directory && entry.byteCount >= 0 && !sameFile(local, image_.identity())) {
      checkFile(entry, path);
    }
    return directory;
  }

  void revisit(const DirectoryEntry&, const std::string& path) override {
    plan.revisits.push_back(path + "/");
  }

  // The checks that need every replacement: overlaps and the output name.
  void finish() {
    if (plan.replacements.empty()) return;
    const std::vector<Stretch> stretches = sortedStretches(plan);
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      for (std::size_t j = i + 1; j < stretches.size() && stretches[j].begin < stretches[i].end;
           ++j) {
        checkOverlap(stretches[i], stretches[j]);
      }
    }
    if (const auto existing = statPath(kOutputImageName)) {
      if (sameFile(*existing, image_.identity())) problem(kOutputImageName, "is the image.\n");
      if (S_ISDIR(existing->st_mode)) problem(kOutputImageName, "is a directory.\n");
    }
  }

  UpdatePlan plan;

 private:
  void problem(const std::string& subject, std::string message) {
    plan.problems.push_back({subject, std::move(message)});
  }

  void checkFile(const DirectoryEntry& entry, const std::string& path) {
    const auto local = openForReading(path);
    const auto length = local ? fileLength(local->get()) : std::nullopt;
    if (!length) return problem(path, "local file cannot be read.\n");
    // What x writes: the entry's bytes, as far as the image holds them.
    const std::int32_t position = blockToOffset(geometry_, entry.startBlock);
    const std::int64_t written =
        position < 0 ? 0 : std::clamp<std::int64_t>(imageLength_ - position, 0, entry.byteCount);
    if (*length == written) {
      const Comparison same = compareBytes_(local->get(), 0, image_.fd(), position, written);
      if (same == Comparison::kSame) return;
      if (same == Comparison::kUnreadable) return problem(path, "local file cannot be read.\n");
    }
    if (*length > entry.byteCount) {
      return problem(path, "local file is longer than the entry (" + std::to_string(*length) +
                               " > " + std::to_string(entry.byteCount) + " bytes).\n");
    }
    const auto copies = readCopyBlocks(reader_, geometry_, entry);
    if (!copies) return problem(path, "its copy list runs past its directory block.\n");
    Replacement replacement{path, *length, {}};
    for (std::size_t i = 0; i < copies->size(); ++i) {
      const std::int32_t copy = blockToOffset(geometry_, (*copies)[i]);
      const std::string which = "copy " + std::to_string(i);
      if ((*copies)[i] == 0) {
        problem(path, which + " has block 0.\n");
      } else if (copy < 0 || copy + std::int64_t{entry.byteCount} > imageLength_) {
        problem(path, which + " lies outside the image.\n");
      } else {
        replacement.positions.push_back(copy);
      }
    }
    if (replacement.positions.size() == copies->size()) {
      plan.replacements.push_back(std::move(replacement));
    }
  }

  void checkOverlap(const Stretch& a, const Stretch& b) {
    const auto first = openForReading(a.replacement->path);
    const auto second = openForReading(b.replacement->path);
    const std::int64_t length = std::min(a.end, b.end) - b.begin;
    if (first && second &&
        compareBytes_(first->get(), b.begin - a.begin, second->get(), 0, length) ==
            Comparison::kSame) {
      return;
    }
    problem(a.replacement->path,
            "overlaps " + b.replacement->path + " in the image with different bytes.\n");
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  std::int64_t imageLength_;
  WindowedReader reader_;
  ByteComparer compareBytes_;
};

}  // namespace

UpdatePlan planDirectoryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                               std::int32_t directoryOffset) {
  UpdatePlanner planner(image, geometry);
  walkTree(image, geometry, directoryOffset, planner);
  planner.finish();
  return std::move(planner.plan);
}

UpdatePlan planEntryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                           const DirectoryEntry& entry) {
  UpdatePlanner planner(image, geometry);
  walkTree(image, geometry, entry, planner);
  planner.finish();
  return std::move(planner.plan);
}

bool writeUpdatedImage(const ImageFile& image, const UpdatePlan& plan) {
  const auto existing = statPath(kOutputImageName);
  if (existing && sameFile(*existing, image.identity())) return false;
  const auto imageLength = fileLength(image.fd());
  auto output = PendingFile::create("");
  // The whole image in one in-kernel copy, as cp makes it, and then each
  // replacement over each of its stretches: stitching the image together
  // between the stretches instead takes many more, smaller copies, which the
  // kernel does measurably slower.
  if (!imageLength || !output || !copyExactly(image.fd(), 0, *imageLength, output->fd())) {
    return false;
  }
  for (const Replacement& replacement : plan.replacements) {
    const auto local = openForReading(replacement.path);
    if (!local) return false;
    for (const std::int32_t position : replacement.positions) {
      if (::lseek(output->fd(), position, SEEK_SET) != position ||
          !copyExactly(local->get(), 0, replacement.length, output->fd())) {
        return false;
      }
    }
  }
  return output->commit(kOutputImageName, existing);
}

}  // namespace discshell
