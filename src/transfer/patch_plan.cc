#include "transfer/patch_plan.h"

#include <algorithm>
#include <cstring>

#include "transfer/local_tree.h"
#include "transfer/output_file.h"
#include "volume/tree.h"

namespace discshell {
namespace {

class ChangeScanner final : public TreeVisitor {
 public:
  ChangeScanner(const ImageFile& image, const VolumeGeometry& geometry, platform::Directory walkTop,
                std::int32_t directory, LongerFiles longer)
      : image_(image),
        geometry_(geometry),
        local_(std::move(walkTop)),
        longer_(longer),
        imageLength_(image.length().value_or(0)),
        reader_(image),
        directories_{directory} {}

  // Where x would have written nothing (an unsafe name, a later entry of a
  // name, a path too long, a byte count below 0, start block 0, the image
  // itself) there is nothing to put back. x never follows a link, and nor
  // does this: a link where x writes is refused.
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
    if (local->kind == platform::FileKind::kNone) {
      written_ = written_ || entry.startBlock != 0;
      return false;
    }
    // A later entry of a name finds the first one's local file: only names
    // with a local file need keeping, so a tree with none keeps nothing.
    if (!names_.first(entry.name)) return false;
    if (entry.startBlock == 0) {
      problem(path, "File not found.\n");
      return false;
    }
    written_ = true;
    found_ = true;
    if (local->kind == platform::FileKind::kSymbolicLink) {
      problem(path, "a symbolic link stands where x writes the file.\n");
      return false;
    }
    if (directory != (local->kind == platform::FileKind::kDirectory)) {
      problem(path, directory ? "local file where the entry is a directory.\n"
                              : "local directory where the entry is a file.\n");
      return false;
    }
    if (directory) return enter(entry, path);
    if (entry.byteCount >= 0 && local->identity != image_.identity()) {
      checkFile(entry, path, *here);
    }
    return false;
  }

  void leave(const std::string&) override {
    local_.leave();
    names_.leave();
    directories_.pop_back();
  }

  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    static_cast<void>(names_.first(entry.name));
    scan.revisits.push_back(path + "/");
  }

  [[nodiscard]] bool foundNothing() const { return written_ && !found_; }

  ChangeScan scan;

 private:
  void problem(const std::string& subject, std::string message) {
    scan.problems.push_back({subject, std::move(message)});
  }

  bool enter(const DirectoryEntry& entry, const std::string& path) {
    platform::FileKind found{};
    if (!local_.enter(entry.name, false, found)) {
      problem(path, "local file cannot be read.\n");
      return false;
    }
    names_.enter();
    directories_.push_back(blockToOffset(geometry_, entry.startBlock));
    return true;
  }

  void checkFile(const DirectoryEntry& entry, const std::string& path,
                 const platform::Directory& here) {
    const auto local = here.openFile(entry.name);
    const auto status = local ? local->status() : std::nullopt;
    if (!status) return problem(path, "local file cannot be read.\n");
    // What x writes: the entry's bytes, as far as the image holds them.
    const std::int32_t position = blockToOffset(geometry_, entry.startBlock);
    const std::int64_t written = extractedLength(imageLength_, position, entry.byteCount);
    if (status->size == written) {
      const Comparison same = compareBytes_(*local, 0, image_.file(), position, written);
      const auto after = local->status();
      if (!after || !after->unchangedSince(*status)) {
        return problem(path, "local file changed while it was read.\n");
      }
      if (same == Comparison::kSame) return;
      if (same == Comparison::kUnreadable) return problem(path, "local file cannot be read.\n");
    }
    if (longer_ == LongerFiles::kRefused && status->size > entry.byteCount) {
      return problem(path, "local file is longer than the entry (" + std::to_string(status->size) +
                               " > " + std::to_string(entry.byteCount) + " bytes).\n");
    }
    checkCopies({path, entry, directories_.back(), {}, status->size, *status});
  }

  void checkCopies(ChangedEntry changed) {
    const auto copies = readCopyBlocks(reader_, geometry_, changed.entry);
    if (!copies) return problem(changed.path, "its copy list runs past its directory block.\n");
    bool sound = true;
    for (std::size_t i = 0; i < copies->size(); ++i) {
      const std::int32_t copy = blockToOffset(geometry_, (*copies)[i]);
      const std::string which = "copy " + std::to_string(i);
      if ((*copies)[i] == 0) {
        problem(changed.path, which + " has block 0.\n");
        sound = false;
      } else if (copy < 0 || copy + std::int64_t{changed.entry.byteCount} > imageLength_) {
        problem(changed.path, which + " lies outside the image.\n");
        sound = false;
      }
    }
    changed.copies = std::move(*copies);
    if (sound) scan.changed.push_back(std::move(changed));
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  LocalTree local_;
  FirstNames names_;
  LongerFiles longer_;
  std::int64_t imageLength_;
  WindowedReader reader_;
  ByteComparer compareBytes_;
  std::vector<std::int32_t> directories_;  ///< the directory of each level being walked
  bool written_ = false;                   ///< an entry x writes was met
  bool found_ = false;                     ///< and something stands where x writes one
};

// Where a path from the root is, for the user: below the current directory
// relative to it, as the walk's own paths are, and anywhere else from "/".
std::string userPath(const std::string& fromRoot, const std::string& base) {
  if (base.empty()) return fromRoot;
  if (fromRoot.size() > base.size() && fromRoot.starts_with(base) && fromRoot[base.size()] == '/') {
    return fromRoot.substr(base.size() + 1);
  }
  return "/" + fromRoot;
}

}  // namespace

ChangeScan scanChanges(const ImageFile& image, const VolumeGeometry& geometry,
                       const platform::Directory& top, const PatchTarget& target,
                       LongerFiles longer) {
  auto walkTop = top.duplicate();
  if (!walkTop) return {{}, {{".", "local file cannot be read.\n"}}, {}, false};
  ChangeScanner scanner(image, geometry, std::move(*walkTop), target.directory, longer);
  if (target.entry) {
    walkTree(image, geometry, *target.entry, scanner);
  } else {
    walkTree(image, geometry, target.directory, scanner);
  }
  scanner.scan.noLocalFiles = scanner.foundNothing();
  return std::move(scanner.scan);
}

std::int64_t blocksLength(std::int64_t byteCount, std::int32_t blockSize) {
  if (blockSize <= 0) return std::max<std::int64_t>(byteCount, 0);
  const std::int64_t blocks = (std::max<std::int64_t>(byteCount, 0) + blockSize - 1) / blockSize;
  return std::max<std::int64_t>(blocks, 1) * blockSize;
}

std::vector<std::int64_t> copyPositions(const VolumeGeometry& geometry,
                                        std::vector<std::int32_t> blocks) {
  // The blocks first, in 4 bytes each: a long list of few places stays small.
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  std::vector<std::int64_t> positions;
  positions.reserve(blocks.size());
  for (const std::int32_t block : blocks) positions.push_back(blockToOffset(geometry, block));
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return positions;
}

void sweepOverlaps(std::vector<Stretch>& stretches,
                   const std::function<void(const Stretch& earlier, const Stretch& later)>& meet) {
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    if (a.begin != b.begin) return a.begin < b.begin;
    return a.end != b.end ? a.end > b.end : a.owner < b.owner;
  });
  const Stretch* reachMost = nullptr;
  for (const Stretch& stretch : stretches) {
    if (reachMost != nullptr && reachMost->end > stretch.begin) meet(*reachMost, stretch);
    if (reachMost == nullptr || stretch.end > reachMost->end) reachMost = &stretch;
  }
}

VolumeSurvey surveyVolume(const ImageFile& image, const VolumeGeometry& geometry,
                          const std::vector<ChangedEntry>& changed,
                          const std::vector<Stretch>& writes, bool wholeBlocks,
                          const std::string& base) {
  std::vector<std::int32_t> records;
  for (const ChangedEntry& entry : changed) records.push_back(entry.entry.recordPosition);
  std::sort(records.begin(), records.end());
  // For each prefix of the writes, the end reaching furthest: whether any
  // write meets a stretch is then one binary search.
  std::vector<std::int64_t> reach;
  for (const Stretch& write : writes) {
    reach.push_back(reach.empty() ? write.end : std::max(reach.back(), write.end));
  }
  const auto meetsAWrite = [&](std::int64_t begin, std::int64_t end) {
    const auto before = std::partition_point(writes.begin(), writes.end(),
                                             [&](const Stretch& w) { return w.begin < end; });
    return before != writes.begin() &&
           reach[static_cast<std::size_t>(before - writes.begin()) - 1] > begin;
  };
  VolumeSurvey survey;
  WindowedReader reader(image);
  // Once, not for each of perhaps 100,000 files.
  const std::int64_t imageLength = image.length().value_or(0);
  const auto onFile = [&](const DirectoryEntry& entry, const std::string& path) {
    if (entry.startBlock == 0 || entry.byteCount <= 0 || writes.empty() ||
        std::binary_search(records.begin(), records.end(), entry.recordPosition)) {
      return;
    }
    const std::int64_t length =
        wholeBlocks ? blocksLength(entry.byteCount, geometry.blockSize) : entry.byteCount;
    auto blocks = readCopyBlocks(reader, geometry, entry);
    if (!blocks) blocks = std::vector{entry.startBlock};
    std::sort(blocks->begin(), blocks->end());
    blocks->erase(std::unique(blocks->begin(), blocks->end()), blocks->end());
    for (const std::int32_t block : *blocks) {
      // Only what the image holds can be changed, or compared.
      const std::int64_t begin = blockToOffset(geometry, block);
      const std::int64_t end = std::min(begin + length, imageLength);
      if (meetsAWrite(begin, end)) {
        survey.others.push_back({begin, end, userPath(path, base)});
      }
    }
  };
  survey.directories = DirectoryMap::build(image, geometry, onFile);
  return survey;
}

void checkDirectoryOverlaps(const ImageFile& image, const VolumeGeometry& geometry,
                            const std::vector<ChangedEntry>& changed, const DirectoryMap& map,
                            std::vector<PatchProblem>& problems) {
  const std::int64_t blockZero = geometry.volumeOffset;
  const std::int64_t blockZeroEnd = blockZero + std::max(geometry.blockSize, 1);
  for (const ChangedEntry& entry : changed) {
    const std::int64_t length = blocksLength(entry.entry.byteCount, geometry.blockSize);
    for (std::size_t i = 0; i < entry.copies.size(); ++i) {
      const std::int64_t begin = blockToOffset(geometry, entry.copies[i]);
      const std::string which = "copy " + std::to_string(i);
      if (begin < blockZeroEnd && begin + length > blockZero) {
        problems.push_back({entry.path, which + " overlaps block 0.\n"});
      } else if (const auto* directory = map.overlapping(begin, begin + length)) {
        problems.push_back({entry.path, which + " overlaps the directory " +
                                            map.path(image, directory->directory) + ".\n"});
      }
    }
  }
}

void checkOutput(const ImageFile& image, const std::string& outputPath,
                 std::vector<PatchProblem>& problems) {
  const OutputFile output = locateOutputFile(outputPath);
  if (output.isImage(image)) problems.push_back({outputPath, "is the image.\n"});
  if (output.isDirectory()) problems.push_back({outputPath, "is a directory.\n"});
}

}  // namespace discshell
