#include "edit/resize_plan.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <set>

#include "edit/directory_writer.h"
#include "edit/overlap_gate.h"
#include "local/local_tree.h"
#include "volume/layout.h"

namespace discshell {
namespace {

// Entries whose data starts at the same block and whose local files are
// equal change alike: one group, written once. Returns each entry's group,
// the index of its first member.
std::vector<std::size_t> groupAlike(const std::vector<ChangedEntry>& changed,
                                    const platform::Directory& top) {
  std::vector<std::size_t> group(changed.size());
  std::map<std::int32_t, std::vector<std::size_t>> firstsByStart;
  ByteComparer compare;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    group[i] = i;
    std::vector<std::size_t>& firsts = firstsByStart[changed[i].entry.startBlock];
    for (const std::size_t first : firsts) {
      if (changed[first].length != changed[i].length) continue;
      const auto a = openBelow(top, changed[first].localPath);
      const auto b = openBelow(top, changed[i].localPath);
      if (a && b && compare(*a, 0, *b, 0, changed[i].length) == Comparison::kSame) {
        group[i] = first;
        break;
      }
    }
    if (group[i] == i) firsts.push_back(i);
  }
  return group;
}

// The directory that holds a changed entry, as the user names it: as its
// path says, else the one the walk started in (`levels`, from the root),
// named from the root without a "/" in front, as r names paths; "/" is the
// root.
std::string directoryOf(const std::string& path, const std::vector<Level>& levels) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) return path.substr(0, slash);
  std::string start;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    start.append(i > 1 ? "/" : "").append(levels[i].name);
  }
  return start.empty() ? "/" : start;
}

class ResizePlanner {
 public:
  ResizePlanner(const ImageFile& image, const VolumeGeometry& geometry,
                const platform::Directory& top, std::vector<ChangedEntry> changed, PatchPlan& plan)
      : image_(image),
        geometry_(geometry),
        changed_(std::move(changed)),
        plan_(plan),
        imageLength_(image.length().value_or(0)),
        group_(groupAlike(changed_, top)),
        moves_(changed_.size(), false),
        newBlocks_(changed_.size()) {}

  void run(const PatchTarget& target, const OutputPlace& output) {
    const std::string& base = target.base;
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      if (!fitsInPlace(changed_[i])) moves_[group_[i]] = true;
    }
    const LiveStretches survey = markConflicts(base);
    const std::int64_t end = placeMoves();
    if (end > std::numeric_limits<std::int32_t>::max()) {
      problem(output.path, "would reach 2 GiB.\n");
    }
    // Records changed where they stand: nothing is re-packed, so the
    // writer needs no conventions and no templates.
    const DirectoryWriter writer(image_, geometry_, {}, {});
    std::vector<Stretch> records;
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      changeRecord(writer, survey.directories, i, target.levels, records);
    }
    checkRecordsAgainstData(records, base);
    checkOutput(image_, output, plan_.problems);
    if (!plan_.problems.empty()) return;
    plan_.changes.length = end;
    addDataWrites();
  }

 private:
  void problem(const std::string& subject, std::string message) {
    plan_.problems.push_back({subject, std::move(message)});
  }

  // In its blocks, and, where the image ends inside them, inside the image.
  bool fitsInPlace(const ChangedEntry& changed) const {
    if (changed.length > blocksLength(changed.entry.byteCount, geometry_.blockSize)) return false;
    return std::all_of(changed.copies.begin(), changed.copies.end(), [&](std::int32_t block) {
      return blockToOffset(geometry_, block) + changed.length <= imageLength_;
    });
  }

  // Every in-place write, swept against every other one, against the old
  // blocks of the entries that move (which stay untouched) and against the
  // data of every other entry: a group whose write meets the blocks of
  // another entry, a write of another group, or its own bytes at another
  // place moves instead. Owners below the number of changed entries are
  // groups; the rest are other entries' data, which never move.
  LiveStretches markConflicts(const std::string& base) {
    std::vector<Stretch> writes;
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      if (moves_[group_[i]] || changed_[i].length == 0) continue;
      for (const std::int64_t position : copyPositions(geometry_, changed_[i].copies)) {
        writes.push_back({position, position + changed_[i].length, group_[i]});
      }
    }
    LiveStretches survey = surveyVolume(image_, geometry_, changed_, writes, true, base);
    checkDataRewrites(image_, geometry_, changed_, survey.directories, plan_.problems);
    const std::size_t others = changed_.size();
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      if (!moves_[group_[i]]) continue;
      const std::int64_t length = blocksLength(changed_[i].entry.byteCount, geometry_.blockSize);
      for (const std::int64_t position : copyPositions(geometry_, changed_[i].copies)) {
        writes.push_back({position, position + length, group_[i]});
      }
    }
    for (std::size_t i = 0; i < survey.others.size(); ++i) {
      writes.push_back({survey.others[i].begin, survey.others[i].end, others + i});
    }
    sweepOverlaps(writes, [&](const Stretch& earlier, const Stretch& later) {
      if (earlier.owner >= others && later.owner >= others) return;
      if (earlier.owner == later.owner && earlier.begin == later.begin) return;
      if (earlier.owner < others) moves_[earlier.owner] = true;
      if (later.owner < others) moves_[later.owner] = true;
    });
    return survey;
  }

  // Gives each distinct block among the copies of a moving group its own
  // new stretch, in walk order, from the first block boundary at or after
  // both the volume's end and the image's: copies that were one block stay
  // one, copies that were apart stay apart. Returns the output's length.
  std::int64_t placeMoves() {
    const std::int64_t blockSize = geometry_.blockSize;
    const std::int64_t origin = geometry_.volumeOffset;
    std::int64_t next = imageLength_;
    bool moved = false;
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      if (!moves_[group_[i]]) continue;
      if (blockSize <= 0) {
        problem(changed_[i].path, "cannot be moved: the block size is not positive.\n");
        continue;
      }
      if (!moved) {
        next = std::max(next, origin + volumeBlocks() * blockSize);
        next = origin + (next - origin + blockSize - 1) / blockSize * blockSize;
        moved = true;
      }
      std::map<std::int32_t, std::int32_t>& blocks = newBlocks_[group_[i]];
      for (const std::int32_t block : changed_[i].copies) {
        if (blocks.contains(block)) continue;
        blocks[block] = static_cast<std::int32_t>(std::min<std::int64_t>(
            (next - origin) / blockSize, std::numeric_limits<std::int32_t>::max()));
        next += (changed_[i].length + blockSize - 1) / blockSize * blockSize;
      }
    }
    if (moved) {
      const auto blocks = static_cast<std::int32_t>(std::min<std::int64_t>(
          (next - origin) / blockSize, std::numeric_limits<std::int32_t>::max()));
      plan_.changes.bytes.push_back({origin + layout::kBlockCountField, bigEndian32Text(blocks)});
    }
    return next;
  }

  std::int64_t volumeBlocks() const {
    std::array<unsigned char, 4> field{};
    if (!readExact(image_, addWrapped(geometry_.volumeOffset, layout::kBlockCountField), field)) {
      return 0;
    }
    return readBigEndian32(field);
  }

  // Where copy `block` of changed entry i ends up: its new block when the
  // entry moves, else where it is.
  std::int32_t blockOfCopy(std::size_t i, std::int32_t block) const {
    if (!moves_[group_[i]]) return block;
    const auto& blocks = newBlocks_[group_[i]];
    const auto found = blocks.find(block);
    return found != blocks.end() ? found->second : block;
  }

  // r's update of one record, handed to the directory writer: the byte
  // count, the length in whole blocks and each copy's block, new when it
  // moves, in every copy of its directory. The directory must be one by the
  // tool's own rule, not only data that c entered; each copy must lie in
  // the image, clear of the volume header, and hold the same record now.
  // Adds where the record goes to `records`, for the check against other
  // entries' data.
  void changeRecord(const DirectoryWriter& writer, const DirectoryMap& directories, std::size_t i,
                    const std::vector<Level>& levels, std::vector<Stretch>& records) {
    const ChangedEntry& changed = changed_[i];
    const auto directory = directories.directoryAt(changed.directory);
    if (!directory) {
      return problem(changed.path, "its directory is also the data of " +
                                       directoryOf(changed.path, levels) + ".\n");
    }
    auto known = copiesOf_.find(*directory);
    if (known == copiesOf_.end()) {
      known = copiesOf_.emplace(*directory, directories.copies(*directory)).first;
    }
    const std::vector<DirectoryMap::Copy>& copies = known->second;
    std::vector<std::int64_t> begins;
    for (const DirectoryMap::Copy& copy : copies) begins.push_back(copy.begin);
    RecordChange change{changed.directory, changed.entry.recordPosition, updateOf(i), {}};
    RecordPatch patch = writer.patchRecord(begins, change.position, change.update);
    const auto length = static_cast<std::int64_t>(
        layout::kMinEntrySize + layout::kCopyBlockSize * (changed.copies.size() - 1));
    for (std::size_t c = 0; c < copies.size(); ++c) {
      const std::string which = "copy " + std::to_string(c);
      if (std::ranges::binary_search(patch.outside, c)) {
        problem(changed.path, which + " of its directory lies outside the image.\n");
      } else if (overlapsVolumeHeader(geometry_, copies[c].begin, copies[c].end)) {
        problem(changed.path, which + " of " + directories.path(image_, *directory) +
                                  " overlaps the volume header.\n");
      } else if (std::ranges::binary_search(patch.differing, c)) {
        problem(changed.path, which + " of its directory differs.\n");
      }
      const std::int64_t at = copies[c].begin + change.position - copies[0].begin;
      records.push_back({at, at + length, i});
    }
    change.writes = std::move(patch.writes);
    plan_.records.push_back(std::move(change));
  }

  // The new fields of changed entry i's record.
  RecordUpdate updateOf(std::size_t i) const {
    const ChangedEntry& changed = changed_[i];
    const std::int32_t blockSize = std::max(geometry_.blockSize, 1);
    const auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(changed.length, std::numeric_limits<std::int32_t>::max()));
    RecordUpdate update{
        n, static_cast<std::int32_t>((std::int64_t{n} + blockSize - 1) / blockSize), {}};
    for (const std::int32_t block : changed.copies) update.copies.push_back(blockOfCopy(i, block));
    return update;
  }

  // A record written into another entry's data changes that entry: it is
  // refused as a data write would be.
  void checkRecordsAgainstData(const std::vector<Stretch>& records, const std::string& base) {
    if (records.empty()) return;
    const LiveStretches survey = surveyVolume(image_, geometry_, changed_, records, false, base);
    std::vector<Stretch> others;
    for (std::size_t o = 0; o < survey.others.size(); ++o) {
      others.push_back({survey.others[o].begin, survey.others[o].end, o});
    }
    const StretchIndex index(std::move(others));
    std::set<std::size_t> reported;
    for (const Stretch& record : records) {
      const Stretch* other = index.overlapping(record.begin, record.end);
      if (other == nullptr || !reported.insert(record.owner).second) continue;
      problem(changed_[record.owner].path,
              "its directory is also the data of " + survey.others[other->owner].path + ".\n");
    }
  }

  // Each group's file once: over every copy of every member in place, or
  // into each of its new stretches.
  void addDataWrites() {
    std::map<std::size_t, std::size_t> writeOfGroup;
    for (std::size_t i = 0; i < changed_.size(); ++i) {
      const ChangedEntry& changed = changed_[i];
      const bool moved = moves_[group_[i]];
      PatchLine line{changed.path, changed.length, changed.copies.size(), {}};
      const auto [found, added] =
          writeOfGroup.try_emplace(group_[i], plan_.changes.files.held.size());
      if (added) {
        plan_.changes.files.held.push_back(
            {changed.localPath,
             changed.local,
             changed.length,
             {},
             {copyPositions(geometry_, changed.copies), changed.entry.byteCount}});
      }
      std::vector<std::int64_t>& positions = plan_.changes.files.held[found->second].positions;
      if (moved) {
        for (const std::int32_t block : changed.copies) {
          const std::int32_t to = blockOfCopy(i, block);
          if (std::find(line.movedTo.begin(), line.movedTo.end(), to) == line.movedTo.end()) {
            line.movedTo.push_back(to);
          }
        }
        if (added) {
          for (const auto& [from, to] : newBlocks_[group_[i]]) {
            positions.push_back(blockToOffset(geometry_, to));
          }
        }
      } else {
        const auto more = copyPositions(geometry_, changed.copies);
        positions.insert(positions.end(), more.begin(), more.end());
      }
      plan_.lines.push_back(std::move(line));
    }
    for (LocalWrite& write : plan_.changes.files.held) {
      std::sort(write.positions.begin(), write.positions.end());
      write.positions.erase(std::unique(write.positions.begin(), write.positions.end()),
                            write.positions.end());
    }
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  std::vector<ChangedEntry> changed_;
  PatchPlan& plan_;
  std::int64_t imageLength_;
  std::vector<std::size_t> group_;
  std::vector<bool> moves_;  ///< by group
  /// By group: the new block of each distinct block among its copies.
  std::vector<std::map<std::int32_t, std::int32_t>> newBlocks_;
  /// The copies of each directory that holds a changed entry.
  std::map<std::uint32_t, std::vector<DirectoryMap::Copy>> copiesOf_;
};

}  // namespace

PatchPlan planResize(const ImageFile& image, const VolumeGeometry& geometry,
                     const platform::Directory& top, const PatchTarget& target,
                     const OutputPlace& output) {
  ChangeScan scan = scanChanges(image, geometry, top, target, LongerFiles::kAllowed);
  PatchPlan plan{std::move(scan.problems),  std::move(scan.revisits), scan.noLocalFiles, {}, {}, {},
                 std::move(scan.untracked), scan.untrackedCount};
  if (scan.changed.empty()) return plan;
  ResizePlanner planner(image, geometry, top, std::move(scan.changed), plan);
  planner.run(target, output);
  return plan;
}

}  // namespace discshell
