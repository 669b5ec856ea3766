#include "edit/patch_plan.h"

#include <algorithm>
#include <cstring>

#include "local/extract.h"
#include "local/local_name.h"
#include "local/local_name_index.h"
#include "local/local_tree.h"
#include "output/output_file.h"
#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {
namespace {

// How many local files and directories with no entry are named; the rest
// are counted.
constexpr std::size_t kUntrackedShown = 20;

class ChangeScanner final : public TreeVisitor {
 public:
  ChangeScanner(const ImageFile& image, const VolumeGeometry& geometry, platform::Directory walkTop,
                const PatchTarget& target, LongerFiles longer)
      : image_(image),
        geometry_(geometry),
        local_(std::move(walkTop)),
        target_(target),
        longer_(longer),
        imageLength_(image.length().value_or(0)),
        reader_(image),
        directories_{target.directory} {
    if (!readNames("", "")) problem(".", "local directory cannot be read.\n");
  }

  // Where x would have written nothing (a later entry of a local name, a
  // path too long, a byte count below 0, start block 0, the image itself)
  // there is nothing to put back. Each local directory's names were read
  // once: an entry whose local name is not among them has no local file,
  // and costs no system call. x never follows a link, and nor does this: a
  // link where x writes is refused. What the pending changes erase is left
  // alone, and so is the local file x wrote for it, unless a later entry
  // has its name now.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
    const auto name = nameNow(entry);
    if (!name) return leftByErase(entry);
    Folder& level = levels_.back();
    const std::string path = level.path + *name;
    const std::string local = localName(*name);
    if (local.empty() || local_.pathLength(local) >= platform::pathLimit() || !level.names) {
      return false;
    }
    const auto slot = level.names->find(local);
    const platform::Directory* here = slot ? local_.current() : nullptr;
    const auto status = here != nullptr ? here->entryStatus(local) : std::nullopt;
    if (slot && !status) {
      problem(path, "local file cannot be read.\n");
      return false;
    }
    if (!slot || status->kind == platform::FileKind::kNone) {
      written_ = written_ || entry.startBlock != 0;
      return false;
    }
    // A later entry of a local name finds the first one's local file.
    if (!level.names->claim(*slot)) return false;
    if (entry.startBlock == 0) {
      problem(path, "File not found.\n");
      return false;
    }
    written_ = true;
    found_ = true;
    if (status->kind == platform::FileKind::kSymbolicLink) {
      problem(path, "a symbolic link stands where x writes the file.\n");
      return false;
    }
    if (directory != (status->kind == platform::FileKind::kDirectory)) {
      problem(path, directory ? "local file where the entry is a directory.\n"
                              : "local directory where the entry is a file.\n");
      return false;
    }
    if (directory) return enter(entry, path, local);
    if (entry.byteCount >= 0 && status->identity != image_.identity()) {
      checkFile(entry, path, local, *here);
    }
    return false;  // a file: the walk enters directories only
  }

  void leave(const std::string&) override {
    listUntracked();
    local_.leave();
    levels_.pop_back();
    directories_.pop_back();
  }

  // Its local folder is where x would have put it, if anywhere: an entry.
  void revisit(const DirectoryEntry& entry, const std::string&) override {
    const auto name = nameNow(entry);
    if (!name) {
      leftByErase(entry);
      return;
    }
    Folder& level = levels_.back();
    const auto slot = level.names ? level.names->find(localName(*name)) : std::nullopt;
    if (slot) static_cast<void>(level.names->claim(*slot));
    scan.revisits.push_back(level.path + *name + "/");
  }

  /// The local files and directories of the current folder that no entry
  /// met, and nothing below them.
  void listUntracked() {
    const Folder& level = levels_.back();
    const platform::Directory* here = local_.current();
    if (!level.names || here == nullptr) return;
    level.names->unclaimed(*here, [&](std::string_view name) {
      if (!level.erased.empty() &&
          std::ranges::find(level.erased, nameKey(name, level.names->foldsCase())) !=
              level.erased.end()) {
        return;
      }
      const auto status = here->entryStatus(name);
      if (!status || status->kind == platform::FileKind::kNone || isImageOrOutput(*status) ||
          (status->kind == platform::FileKind::kSymbolicLink &&
           isImageOrOutput(here->entryStatus(name, true)))) {
        return;
      }
      std::string path = level.localPath;
      path.append(name);
      if (std::binary_search(target_.added.begin(), target_.added.end(), path)) return;
      if (++scan.untrackedCount > kUntrackedShown) return;
      if (status->kind == platform::FileKind::kDirectory) path += '/';
      scan.untracked.push_back(std::move(path));
    });
  }

  [[nodiscard]] bool foundNothing() const { return written_ && !found_; }

  ChangeScan scan;

 private:
  // One local folder being walked: its names, read once, and its path.
  struct Folder {
    std::optional<LocalNames> names;
    std::string localPath;  ///< relative to the top, with a "/" at its end
    std::string path;       ///< its directory's, under the names now, with a "/" at its end
    std::vector<std::string> erased;  ///< the keys of the local names of erased entries
  };

  void problem(const std::string& subject, std::string message) {
    scan.problems.push_back({subject, std::move(message)});
  }

  // The image and the output are no local files of the tree, whatever
  // name or link leads to them.
  bool isImageOrOutput(const std::optional<platform::FileStatus>& status) const {
    return status && status->kind != platform::FileKind::kNone &&
           (status->identity == image_.identity() ||
            (target_.output && status->identity == *target_.output));
  }

  // The name an entry has once the pending changes are written; no value
  // when they erase it.
  std::optional<std::string> nameNow(const DirectoryEntry& entry) const {
    if (target_.pending == nullptr) return entry.name;
    const auto& changed = target_.pending->changedRecords();
    const auto found = changed.find(entry.recordPosition);
    if (found == changed.end()) return entry.name;
    if (found->second.erased) return std::nullopt;
    return found->second.name;
  }

  // Notes the local name x wrote for an erased entry, so that its file is
  // not listed as one no entry means. Returns false: it is not entered.
  bool leftByErase(const DirectoryEntry& entry) {
    Folder& level = levels_.back();
    if (level.names) {
      level.erased.push_back(nameKey(localName(entry.name), level.names->foldsCase()));
    }
    return false;
  }

  // Reads the current local folder's names as the folder compares them.
  bool readNames(std::string localPath, std::string path) {
    const platform::Directory* here = local_.current();
    auto names = here != nullptr ? LocalNames::read(*here, here->foldsCase()) : std::nullopt;
    const bool read = names.has_value();
    levels_.push_back({std::move(names), std::move(localPath), std::move(path), {}});
    return read;
  }

  bool enter(const DirectoryEntry& entry, const std::string& path, const std::string& local) {
    platform::FileKind found{};
    if (!local_.enter(local, false, found)) {
      problem(path, "local file cannot be read.\n");
      return false;
    }
    if (!readNames(levels_.back().localPath + local + "/", path + "/")) {
      problem(path, "local directory cannot be read.\n");
      levels_.pop_back();
      local_.leave();
      return false;
    }
    directories_.push_back(blockToOffset(geometry_, entry.startBlock));
    return true;
  }

  void checkFile(const DirectoryEntry& entry, const std::string& path, const std::string& name,
                 const platform::Directory& here) {
    const auto local = here.openFile(name);
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
    checkCopies({path,
                 entry,
                 directories_.back(),
                 {},
                 status->size,
                 *status,
                 levels_.back().localPath + name});
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
  const PatchTarget& target_;
  std::vector<Folder> levels_;
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

// Whether the pending changes erase a directory the shell entered on its
// way to the target: each the first entry of its name in the one above, as
// c found it. Those directories are walked only when something is erased.
bool insideErased(const ImageFile& image, const VolumeGeometry& geometry,
                  const PatchTarget& target) {
  if (target.pending == nullptr) return false;
  const auto& changed = target.pending->changedRecords();
  if (std::none_of(changed.begin(), changed.end(),
                   [](const auto& record) { return record.second.erased; })) {
    return false;
  }
  WindowedReader reader(image);
  for (std::size_t i = 1; i < target.levels.size(); ++i) {
    const auto entry =
        findEntry(reader, geometry, target.levels[i - 1].offset, target.levels[i].name);
    const auto found = entry ? changed.find(entry->recordPosition) : changed.end();
    if (found != changed.end() && found->second.erased) return true;
  }
  return false;
}

}  // namespace

ChangeScan scanChanges(const ImageFile& image, const VolumeGeometry& geometry,
                       const platform::Directory& top, const PatchTarget& target,
                       LongerFiles longer) {
  if (insideErased(image, geometry, target)) return {};
  auto walkTop = top.duplicate();
  if (!walkTop) return {{}, {{".", "local file cannot be read.\n"}}, {}, false, {}, 0};
  ChangeScanner scanner(image, geometry, std::move(*walkTop), target, longer);
  if (target.entry) {
    walkTree(image, geometry, *target.entry, scanner);
  } else {
    walkTree(image, geometry, target.directory, scanner);
    scanner.listUntracked();
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

StretchIndex::StretchIndex(std::vector<Stretch> stretches) : stretches_(std::move(stretches)) {
  std::sort(stretches_.begin(), stretches_.end(),
            [](const Stretch& a, const Stretch& b) { return a.begin < b.begin; });
  reachMost_.resize(stretches_.size());
  for (std::size_t i = 0; i < stretches_.size(); ++i) {
    const bool further = i == 0 || stretches_[i].end > stretches_[reachMost_[i - 1]].end;
    reachMost_[i] = further ? i : reachMost_[i - 1];
  }
}

const Stretch* StretchIndex::overlapping(std::int64_t begin, std::int64_t end) const {
  if (begin >= end) return nullptr;
  // Every stretch that begins before `end` and ends after `begin` overlaps;
  // the one of them reaching furthest is enough to tell.
  const auto before = std::partition_point(stretches_.begin(), stretches_.end(),
                                           [&](const Stretch& s) { return s.begin < end; });
  if (before == stretches_.begin()) return nullptr;
  const Stretch& furthest =
      stretches_[reachMost_[static_cast<std::size_t>(before - stretches_.begin()) - 1]];
  return furthest.end > begin ? &furthest : nullptr;
}

LiveStretches surveyVolume(const ImageFile& image, const VolumeGeometry& geometry,
                           const std::vector<ChangedEntry>& changed,
                           const std::vector<Stretch>& writes, bool wholeBlocks,
                           const std::string& base) {
  std::vector<std::int32_t> records;
  for (const ChangedEntry& entry : changed) records.push_back(entry.entry.recordPosition);
  std::sort(records.begin(), records.end());
  const StretchIndex writeIndex(writes);
  LiveStretches survey;
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
      if (writeIndex.overlapping(begin, end) != nullptr) {
        survey.others.push_back({begin, end, userPath(path, base)});
      }
    }
  };
  survey.directories = DirectoryMap::build(image, geometry, onFile);
  return survey;
}

bool overlapsVolumeHeader(const VolumeGeometry& geometry, std::int64_t begin, std::int64_t end) {
  const std::int64_t header = geometry.volumeOffset;
  return begin < end && begin < header + layout::kHeaderExtent && end > header;
}

void checkOutput(const ImageFile& image, const OutputPlace& place,
                 std::vector<PatchProblem>& problems) {
  const OutputFile output = locateOutputFile(place);
  if (output.isImage(image)) {
    problems.push_back({place.path, "is the image.\n"});
  } else if (output.isDirectory()) {
    problems.push_back({place.path, "is a directory.\n"});
  } else if (output.notRegular()) {
    problems.push_back({place.path, "not a regular file.\n"});
  }
}

void writeInPlace(std::vector<RecordChange> records, ImageChanges& changes) {
  for (RecordChange& record : records) {
    for (ByteWrite& write : record.writes) changes.bytes.push_back(std::move(write));
  }
}

}  // namespace discshell
