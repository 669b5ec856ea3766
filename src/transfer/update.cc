#include "transfer/update.h"

#include <algorithm>
#include <cstring>

#include "transfer/compare.h"
#include "transfer/copy.h"
#include "transfer/local_tree.h"
#include "transfer/output_file.h"
#include "volume/tree.h"

namespace discshell {
namespace {

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
  UpdatePlanner(const ImageFile& image, const VolumeGeometry& geometry,
                const platform::Directory& top, platform::Directory walkTop)
      : image_(image),
        geometry_(geometry),
        top_(top),
        local_(std::move(walkTop)),
        imageLength_(image.length().value_or(0)),
        reader_(image) {}

  // Where x would have written nothing (an unsafe name, a path too long, a
  // byte count below 0, the image itself) there is nothing to put back. x
  // never follows a link, and nor does u: a link where x writes is refused.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (!platform::isSafeLocalName(entry.name) || path.size() >= platform::pathLimit()) {
      return false;
    }
    const platform::Directory* here = local_.current();
    const auto local = here != nullptr ? here->entryStatus(entry.name) : std::nullopt;
    if (!local) {
      problem(path, "local file cannot be read.\n");
      return false;
    }
    if (local->kind == platform::FileKind::kNone) return false;
    // x writes nothing for an entry at block 0 (it is not found, as for g),
    // so whatever stands at its place is not the entry's.
    if (entry.startBlock == 0) {
      problem(path, "File not found.\n");
      return false;
    }
    if (local->kind == platform::FileKind::kSymbolicLink) {
      problem(path, "a symbolic link stands where x writes the file.\n");
      return false;
    }
    if (directory != (local->kind == platform::FileKind::kDirectory)) {
      problem(path, directory ? "local file where the entry is a directory.\n"
                              : "local directory where the entry is a file.\n");
      return false;
    }
    if (directory) {
      platform::FileKind found{};
      if (local_.enter(entry.name, false, found)) return true;
      problem(path, "local file cannot be read.\n");
      return false;
    }
    if (entry.byteCount >= 0 && local->identity != image_.identity()) {
      checkFile(entry, path, *here);
    }
    return false;
  }

  void leave(const std::string&) override { local_.leave(); }

  void revisit(const DirectoryEntry&, const std::string& path) override {
    plan.revisits.push_back(path + "/");
  }

  // The checks that need every replacement: overlaps and the output name.
  void finish(const std::string& outputPath) {
    if (plan.replacements.empty()) return;
    const std::vector<Stretch> stretches = sortedStretches(plan);
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      for (std::size_t j = i + 1; j < stretches.size() && stretches[j].begin < stretches[i].end;
           ++j) {
        checkOverlap(stretches[i], stretches[j]);
      }
    }
    const OutputFile output = locateOutputFile(outputPath);
    if (output.isImage(image_)) problem(outputPath, "is the image.\n");
    if (output.isDirectory()) problem(outputPath, "is a directory.\n");
  }

  UpdatePlan plan;

 private:
  void problem(const std::string& subject, std::string message) {
    plan.problems.push_back({subject, std::move(message)});
  }

  void checkFile(const DirectoryEntry& entry, const std::string& path,
                 const platform::Directory& here) {
    const auto local = here.openFile(entry.name);
    const auto length = local ? local->length() : std::nullopt;
    if (!length) return problem(path, "local file cannot be read.\n");
    // What x writes: the entry's bytes, as far as the image holds them.
    const std::int32_t position = blockToOffset(geometry_, entry.startBlock);
    const std::int64_t written = extractedLength(imageLength_, position, entry.byteCount);
    if (*length == written) {
      const Comparison same = compareBytes_(*local, 0, image_.file(), position, written);
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
    const auto first = openBelow(top_, a.replacement->path);
    const auto second = openBelow(top_, b.replacement->path);
    const std::int64_t length = std::min(a.end, b.end) - b.begin;
    if (first && second &&
        compareBytes_(*first, b.begin - a.begin, *second, 0, length) == Comparison::kSame) {
      return;
    }
    problem(a.replacement->path,
            "overlaps " + b.replacement->path + " in the image with different bytes.\n");
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const platform::Directory& top_;
  LocalTree local_;
  std::int64_t imageLength_;
  WindowedReader reader_;
  ByteComparer compareBytes_;
};

}  // namespace

UpdatePlan planDirectoryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                               const platform::Directory& top, std::int32_t directoryOffset,
                               const std::string& outputPath) {
  auto walkTop = top.duplicate();
  if (!walkTop) return {{}, {{".", "local file cannot be read.\n"}}, {}};
  UpdatePlanner planner(image, geometry, top, std::move(*walkTop));
  walkTree(image, geometry, directoryOffset, planner);
  planner.finish(outputPath);
  return std::move(planner.plan);
}

UpdatePlan planEntryUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                           const platform::Directory& top, const DirectoryEntry& entry,
                           const std::string& outputPath) {
  auto walkTop = top.duplicate();
  if (!walkTop) return {{}, {{".", "local file cannot be read.\n"}}, {}};
  UpdatePlanner planner(image, geometry, top, std::move(*walkTop));
  walkTree(image, geometry, entry, planner);
  planner.finish(outputPath);
  return std::move(planner.plan);
}

bool writeUpdatedImage(const ImageFile& image, const platform::Directory& top,
                       const UpdatePlan& plan, const std::string& outputPath) {
  OutputFile output = locateOutputFile(outputPath);
  if (!output.directory || output.isImage(image)) return false;
  const auto imageLength = image.length();
  auto pending = output.directory->createPending();
  // The whole image in one in-kernel copy, as cp makes it, and then each
  // replacement over each of its stretches: stitching the image together
  // between the stretches instead takes many more, smaller copies, which the
  // kernel does measurably slower.
  if (!imageLength || !pending || !copyExactly(image.file(), 0, *imageLength, pending->file(), 0)) {
    return false;
  }
  for (const Replacement& replacement : plan.replacements) {
    const auto local = openBelow(top, replacement.path);
    if (!local) return false;
    for (const std::int32_t position : replacement.positions) {
      if (!copyExactly(*local, 0, replacement.length, pending->file(), position)) return false;
    }
  }
  return pending->commit(output.name, output.existing);
}

}  // namespace discshell
