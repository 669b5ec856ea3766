#include "edit/tree_edit_plan.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <memory>

#include "bytes/compare.h"
#include "edit/directory_writer.h"
#include "volume/directory_map.h"
#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {
namespace {

std::string bigEndian(std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
          static_cast<char>(u)};
}

/// A record of the volume that leads to a directory being changed.
struct Lead {
  std::int32_t holder = 0;    ///< the directory that holds it
  std::int32_t position = 0;  ///< in copy 0 of the holder
  std::vector<std::int32_t> copies;
};

/// A directory of the image that the changes re-pack.
struct ChangedDirectory {
  std::size_t change = 0;  ///< the first change there, whose path problems name
  std::shared_ptr<DirectoryEdits> edits = std::make_shared<DirectoryEdits>();
  bool reached = false;  ///< the tree walk from the root entered it
  std::vector<Lead> leads;
  DirectoryFit fit;
  std::vector<std::int64_t> copies;              ///< where each copy begins now
  std::map<std::int64_t, std::int32_t> movedTo;  ///< each distinct copy's new first block
};

/// A directory that i adds.
struct NewDirectory {
  std::shared_ptr<DirectoryEdits> edits = std::make_shared<DirectoryEdits>();
  DirectoryFit fit;
  std::int32_t firstBlock = 0;
};

/// Whether a convention holds on every directory: seen, and never broken.
struct Evidence {
  bool seen = false;
  bool broken = false;
  void note(bool holds) {
    seen = true;
    broken = broken || !holds;
  }
  [[nodiscard]] bool holds() const { return seen && !broken; }
};

// One walk of the whole tree from the root: what the volume shows of its
// conventions, a record of each kind to copy from, and, for each directory
// being changed, the kind of each of its records, the records that lead to
// it and how many blocks it has.
class TreeSurvey final : public TreeVisitor {
 public:
  TreeSurvey(const ImageFile& image, const VolumeGeometry& geometry,
             std::map<std::int32_t, ChangedDirectory>& changed)
      : geometry_(geometry), changed_(changed), reader_(image) {
    open(geometry.rootDirectoryOffset);
  }

  bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
    meet(entry, directory);
    if (!directory) return false;
    const std::int32_t offset = blockToOffset(geometry_, entry.startBlock);
    open(offset);
    if (levels_.back().changed != nullptr) {
      levels_.back().changed->edits->sourceBlocks = entry.byteCount / geometry_.blockSize;
    }
    return true;
  }
  void revisit(const DirectoryEntry& entry, const std::string&) override { meet(entry, true); }
  void leave(const std::string&) override { close(); }
  /// After the walk: the root's end.
  void finish() { close(); }

  [[nodiscard]] DirectoryConventions conventions() const {
    return {endOffset_.holds(), lastRecord_.holds(), blockEnd_.holds()};
  }
  RecordTemplates templates;

 private:
  struct Previous {
    std::int32_t position = 0;
    std::int64_t length = 0;
    std::uint32_t flags = 0;
  };
  struct Level {
    std::int32_t offset = 0;
    ChangedDirectory* changed = nullptr;
    std::optional<Previous> previous;
  };

  void open(std::int32_t offset) {
    const auto found = changed_.find(offset);
    Level level;
    level.offset = offset;
    if (found != changed_.end()) {
      level.changed = &found->second;
      found->second.reached = true;
    }
    levels_.push_back(level);
  }
  void close() {
    if (levels_.back().previous) judge(*levels_.back().previous, std::nullopt);
    levels_.pop_back();
  }

  void meet(const DirectoryEntry& entry, bool directory) {
    Level& level = levels_.back();
    const auto flags = reader_.read32(entry.recordPosition);
    if (level.previous) judge(*level.previous, entry.recordPosition);
    level.previous =
        Previous{entry.recordPosition,
                 layout::kMinEntrySize + std::int64_t{layout::kCopyBlockSize} * entry.lastCopyIndex,
                 static_cast<std::uint32_t>(flags.value_or(0))};
    if (level.changed != nullptr) level.changed->edits->sourceKinds.push_back(directory);
    std::string& kept = directory ? templates.directory : templates.file;
    if (kept.empty()) {
      kept.resize(layout::kMinEntrySize);
      if (!reader_.read(entry.recordPosition,
                        {reinterpret_cast<unsigned char*>(kept.data()), kept.size()})) {
        kept.clear();
      }
    }
    if (!directory) return;
    const auto target = changed_.find(blockToOffset(geometry_, entry.startBlock));
    if (target == changed_.end()) return;
    const auto copies = readCopyBlocks(reader_, geometry_, entry);
    target->second.leads.push_back(
        {level.offset, entry.recordPosition, copies ? *copies : std::vector{entry.startBlock}});
  }

  // What a record shows of the conventions, now that what follows it is
  // known: the next record's position, or none when it was the last.
  void judge(const Previous& record, std::optional<std::int32_t> next) {
    const std::int64_t blockSize = geometry_.blockSize;
    if (blockSize <= 0) {
      // No blocks to keep anything true in: no convention holds.
      endOffset_.note(false);
      return;
    }
    const auto blockOf = [&](std::int64_t position) {
      const std::int64_t into = position - geometry_.volumeOffset;
      return (into >= 0 ? into : into - blockSize + 1) / blockSize;
    };
    const bool lastInDirectory = !next;
    const bool lastInBlock = lastInDirectory || blockOf(*next) != blockOf(record.position);
    lastRecord_.note(((record.flags & kLastRecordFlag) != 0) == lastInDirectory);
    blockEnd_.note(((record.flags & kBlockEndFlag) != 0) == lastInBlock);
    if (!lastInBlock) return;
    const std::int64_t blockStart = blockOf(record.position) * blockSize + geometry_.volumeOffset;
    const auto field =
        reader_.read32(addWrapped(static_cast<std::int32_t>(blockStart), kBlockEndOffsetField));
    endOffset_.note(field && *field == record.position + record.length - blockStart);
  }

  const VolumeGeometry& geometry_;
  std::map<std::int32_t, ChangedDirectory>& changed_;
  WindowedReader reader_;
  std::vector<Level> levels_;
  Evidence endOffset_;
  Evidence lastRecord_;
  Evidence blockEnd_;
};

class TreeEditPlanner {
 public:
  TreeEditPlanner(const ImageFile& image, const VolumeGeometry& geometry,
                  const PendingChanges& pending)
      : image_(image),
        geometry_(geometry),
        pending_(pending),
        imageLength_(image.length().value_or(0)),
        startBlocks_(pending.added().size(), 0) {}

  TreeEditPlan run(ImageChanges base, std::vector<RecordChange> records,
                   const OutputPlace& output) {
    collect();
    TreeSurvey survey(image_, geometry_, changed_);
    walkTree(image_, geometry_, geometry_.rootDirectoryOffset, survey);
    survey.finish();
    DirectoryWriter writer(image_, geometry_, survey.conventions(), survey.templates);
    measure(writer);
    if (!plan_.problems.empty()) return std::move(plan_);
    const VolumeSurvey volume = surveyVolume(image_, geometry_, {}, inPlaceWrites(), true, "");
    locateCopies(volume);
    const std::int64_t end = allocate(base.length);
    if (end > std::numeric_limits<std::int32_t>::max()) {
      problem(output.path, "would reach 2 GiB.\n");
    }
    checkOutput(image_, output, plan_.problems);
    if (!plan_.problems.empty()) return std::move(plan_);
    fillNewRecords();
    updateLeads(writer, volume.directories);
    takeOver(base, std::move(records), end);
    addStreams(writer);
    addFiles();
    return std::move(plan_);
  }

 private:
  void problem(const std::string& subject, std::string message) {
    plan_.problems.push_back({subject, std::move(message)});
  }
  // The path a problem with a changed directory names: its first change's.
  const std::string& subjectOf(const ChangedDirectory& directory) const {
    return pending_.subject(directory.change);
  }
  ChangedDirectory& changedAt(std::int32_t offset, std::size_t change) {
    const auto [found, made] = changed_.try_emplace(offset);
    if (made) found->second.change = change;
    return found->second;
  }

  // Which directories change, and how: every record erased or renamed, and
  // every added entry that still stands, under its parent.
  void collect() {
    for (const auto& [position, fate] : pending_.fates()) {
      RecordEdit& edit = changedAt(fate.directory, fate.change).edits->records[position];
      edit.erase = fate.erased;
      if (fate.renamed) edit.name = fate.name;
    }
    const std::vector<AddedEntry>& added = pending_.added();
    for (std::uint32_t i = 0; i < added.size(); ++i) {
      if (!pending_.stands(i)) continue;
      if (added[i].directory) newDirectories_.try_emplace(i);
      DirectoryEdits& parent = added[i].parent.inImage()
                                   ? *changedAt(added[i].parent.offset, added[i].change).edits
                                   : *newDirectories_.at(added[i].parent.added).edits;
      parent.appended.push_back({added[i].name, added[i].directory, 0, 0});
      appendedAt_.push_back({&parent, parent.appended.size() - 1, i});
    }
  }

  // The blocks each changed directory has and needs; a new directory's
  // block headers copy its parent's first block.
  void measure(const DirectoryWriter& writer) {
    for (auto& [offset, directory] : changed_) {
      DirectoryEdits& edits = *directory.edits;
      edits.source = offset;
      edits.header = firstHeader(offset);
      if (!directory.reached) {
        problem(subjectOf(directory), "its directory is not reached from the root.\n");
        continue;
      }
      directory.fit = writer.measure(edits);
      edits.sourceBlocks = directory.fit.sourceBlocks;
      if (!directory.fit.fewestBlocks) problem(subjectOf(directory), directory.fit.problem);
    }
    for (auto& [index, directory] : newDirectories_) {
      directory.edits->header = firstHeader(imageAncestor(index));
      directory.fit = writer.measure(*directory.edits);
      if (!directory.fit.fewestBlocks) {
        problem(pending_.subject(pending_.added()[index].change), directory.fit.problem);
      }
    }
  }

  std::int32_t imageAncestor(std::uint32_t index) const {
    PendingDirectory parent = pending_.added()[index].parent;
    while (!parent.inImage()) parent = pending_.added()[parent.added].parent;
    return parent.offset;
  }

  std::string firstHeader(std::int32_t directory) const {
    std::string header(16, '\0');
    if (!readExact(image_, addWrapped(directory, 4),
                   {reinterpret_cast<unsigned char*>(header.data()), header.size()})) {
      std::fill(header.begin(), header.end(), '\0');
    }
    return header;
  }

  std::int64_t directoryLength(const ChangedDirectory& directory) const {
    return std::int64_t{directory.edits->sourceBlocks} * geometry_.blockSize;
  }

  // Where the directories re-packed in place are written, each copy as its
  // records say: the data of other entries there would be overwritten.
  std::vector<Stretch> inPlaceWrites() const {
    std::vector<Stretch> writes;
    for (const auto& [offset, directory] : changed_) {
      if (!directory.fit.fitsInPlace) continue;
      std::vector<std::int64_t> begins{offset};
      for (const Lead& lead : directory.leads) {
        for (const std::int32_t block : lead.copies) {
          begins.push_back(blockToOffset(geometry_, block));
        }
      }
      for (const std::int64_t begin : begins) {
        writes.push_back({begin, begin + directoryLength(directory), 0});
      }
    }
    std::sort(writes.begin(), writes.end(),
              [](const Stretch& a, const Stretch& b) { return a.begin < b.begin; });
    return writes;
  }

  // Every copy of every changed directory, each checked to hold the same
  // bytes as copy 0 and, where it is written over, to lie clear of the
  // header and of other entries' data.
  void locateCopies(const VolumeSurvey& volume) {
    ByteComparer compare;
    for (auto& [offset, directory] : changed_) {
      const auto index = volume.directories.directoryAt(offset);
      directory.copies =
          index ? volume.directories.copyBegins(*index) : std::vector<std::int64_t>{};
      if (directory.copies.empty() || directory.copies.front() != offset) {
        directory.copies.insert(directory.copies.begin(), offset);
      }
      const std::string where = volume.directories.path(image_, index.value_or(0));
      const std::int64_t length = directoryLength(directory);
      for (std::size_t c = 0; c < directory.copies.size(); ++c) {
        const std::int64_t begin = directory.copies[c];
        const std::string which = "copy " + std::to_string(c) + " of " + where;
        if (begin < 0 || begin + length > imageLength_) {
          problem(subjectOf(directory), which + " lies outside the image.\n");
        } else if (c > 0 && compare(image_.file(), offset, image_.file(), begin, length) !=
                                Comparison::kSame) {
          problem(subjectOf(directory), which + " differs.\n");
        } else if (directory.fit.fitsInPlace &&
                   begin < geometry_.volumeOffset + std::max(geometry_.blockSize, 1)) {
          problem(subjectOf(directory), which + " overlaps block 0.\n");
        } else if (directory.fit.fitsInPlace) {
          for (const OtherData& other : volume.others) {
            if (other.begin < begin + length && other.end > begin) {
              problem(subjectOf(directory), which + " overlaps " + other.path + ".\n");
              break;
            }
          }
        }
      }
    }
  }

  // New stretches from the first block boundary at or after the image's
  // end, the volume's end and whatever `baseLength` already reaches to, in
  // order: the added files' data, the added directories, then the changed
  // directories that no longer fit, one stretch for each distinct copy.
  // Returns where the last one ends.
  std::int64_t allocate(std::int64_t baseLength) {
    const std::int64_t blockSize = geometry_.blockSize;
    const std::int64_t origin = geometry_.volumeOffset;
    std::int64_t next = std::max({imageLength_, baseLength, origin + volumeBlocks() * blockSize});
    next = origin + (next - origin + blockSize - 1) / blockSize * blockSize;
    const std::int64_t first = next;
    const auto take = [&](std::int64_t blocks) {
      const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(
          (next - origin) / blockSize, std::numeric_limits<std::int32_t>::max()));
      next += std::max<std::int64_t>(blocks, 1) * blockSize;
      return block;
    };
    const std::vector<AddedEntry>& added = pending_.added();
    for (const auto& [parent, at, index] : appendedAt_) {
      if (!added[index].directory)
        startBlocks_[index] = take(wholeBlocks(added[index].status.size));
    }
    for (auto& [index, directory] : newDirectories_) {
      directory.firstBlock = take(*directory.fit.fewestBlocks);
      startBlocks_[index] = directory.firstBlock;
    }
    for (auto& [offset, directory] : changed_) {
      if (directory.fit.fitsInPlace) continue;
      for (const std::int64_t copy : directory.copies) {
        if (!directory.movedTo.contains(copy)) {
          directory.movedTo[copy] = take(*directory.fit.fewestBlocks);
        }
      }
    }
    if (next != first) {
      plan_.changes.bytes.push_back(
          {origin + layout::kBlockCountField,
           bigEndian(static_cast<std::int32_t>(std::min<std::int64_t>(
               (next - origin) / blockSize, std::numeric_limits<std::int32_t>::max())))});
      allocated_ = true;
    }
    return next != first ? next : std::max(imageLength_, baseLength);
  }

  std::int64_t wholeBlocks(std::int64_t bytes) const {
    return (std::max<std::int64_t>(bytes, 0) + geometry_.blockSize - 1) / geometry_.blockSize;
  }

  std::int64_t volumeBlocks() const {
    std::array<unsigned char, 4> field{};
    if (!readExact(image_, addWrapped(geometry_.volumeOffset, layout::kBlockCountField), field)) {
      return 0;
    }
    return readBigEndian32(field);
  }

  void fillNewRecords() {
    const std::vector<AddedEntry>& added = pending_.added();
    for (const auto& [parent, at, index] : appendedAt_) {
      NewRecord& record = parent->appended[at];
      record.startBlock = startBlocks_[index];
      record.byteCount = added[index].directory
                             ? *newDirectories_.at(index).fit.fewestBlocks * geometry_.blockSize
                             : static_cast<std::int32_t>(added[index].status.size);
    }
  }

  // A directory that moves gets new copy numbers and its length in every
  // record that leads to it (the root: in the header); where that record's
  // directory is re-packed anyway, the change goes into it, else into each
  // copy of the record in place.
  void updateLeads(const DirectoryWriter& writer, const DirectoryMap& map) {
    for (auto& [offset, changed] : changed_) {
      // A name of its own: clang before 16 cannot capture a structured binding.
      ChangedDirectory& directory = changed;
      if (directory.fit.fitsInPlace) continue;
      const std::int32_t blocks = *directory.fit.fewestBlocks;
      const auto moved = [&](std::int32_t block) -> std::optional<std::int32_t> {
        const auto found = directory.movedTo.find(blockToOffset(geometry_, block));
        if (found == directory.movedTo.end()) return std::nullopt;
        return found->second;
      };
      if (offset == geometry_.rootDirectoryOffset) moveRoot(directory);
      for (const Lead& lead : directory.leads) {
        RecordUpdate update{blocks * geometry_.blockSize, blocks, {}};
        for (const std::int32_t block : lead.copies) {
          const auto to = moved(block);
          if (!to) {
            problem(subjectOf(directory),
                    "a record of its directory names a copy that is not "
                    "among the directory's copies.\n");
            return;
          }
          update.copies.push_back(*to);
        }
        const auto holder = changed_.find(lead.holder);
        if (holder != changed_.end()) {
          holder->second.edits->records[lead.position].update = update;
        } else {
          patchRecord(writer, map, lead, update, subjectOf(directory));
        }
      }
    }
  }

  void moveRoot(const ChangedDirectory& root) {
    const std::int32_t header = geometry_.volumeOffset;
    std::array<unsigned char, 4> field{};
    std::int32_t last = 0;
    if (readExact(image_, addWrapped(header, layout::kRootLastCopyIndexField), field)) {
      last = readBigEndian32(field);
      if (last < 0 || last > layout::kRootLastCopyIndexMax) last = 0;
    }
    for (std::int32_t i = 0; i <= last && static_cast<std::size_t>(i) < root.copies.size(); ++i) {
      plan_.changes.bytes.push_back(
          {std::int64_t{header} + layout::kRootBlockField + layout::kCopyBlockSize * i,
           bigEndian(root.movedTo.at(root.copies[static_cast<std::size_t>(i)]))});
    }
  }

  // A record changed where it stands, in every copy of its directory.
  void patchRecord(const DirectoryWriter& writer, const DirectoryMap& map, const Lead& lead,
                   const RecordUpdate& update, const std::string& subject) {
    const auto index = map.directoryAt(lead.holder);
    const std::vector<std::int64_t> copies =
        index ? map.copyBegins(*index) : std::vector<std::int64_t>{lead.holder};
    RecordPatch patch = writer.patchRecord(copies, lead.position, update);
    const std::string where = map.path(image_, index.value_or(0));
    if (!patch.fits) return problem(subject, "its record in " + where + " cannot be read.\n");
    for (const std::size_t c : patch.outside) {
      problem(subject, "copy " + std::to_string(c) + " of " + where + " lies outside the image.\n");
    }
    for (const std::size_t c : patch.differing) {
      problem(subject, "copy " + std::to_string(c) + " of " + where + " differs.\n");
    }
    for (ByteWrite& write : patch.writes) plan_.changes.bytes.push_back(std::move(write));
  }

  // u's and r's changes: theirs, except that r's record changes in a
  // directory that is re-packed go into it as edits (keeping the records'
  // new names) instead of where they stand, and that the header's block
  // count is this plan's when it allocates.
  void takeOver(ImageChanges& base, std::vector<RecordChange> records, std::int64_t end) {
    const std::int64_t blockCountField =
        std::int64_t{geometry_.volumeOffset} + layout::kBlockCountField;
    for (ByteWrite& write : base.bytes) {
      if (write.position != blockCountField || !allocated_) {
        plan_.changes.bytes.push_back(std::move(write));
      }
    }
    for (RecordChange& record : records) {
      const auto changed = changed_.find(record.directory);
      if (changed == changed_.end()) continue;
      changed->second.edits->records[record.position].update = std::move(record.update);
      record.writes.clear();
    }
    writeInPlace(std::move(records), plan_.changes);
    plan_.changes.files = std::move(base.files);
    plan_.changes.streams = std::move(base.streams);
    plan_.changes.length = end;
  }

  void addStreams(const DirectoryWriter& writer) {
    for (auto& [offset, directory] : changed_) {
      std::vector<std::int64_t> positions;
      std::int32_t firstBlock = 0;
      std::int32_t blocks = 0;
      if (directory.fit.fitsInPlace) {
        positions = directory.copies;
        firstBlock =
            static_cast<std::int32_t>((offset - geometry_.volumeOffset) / geometry_.blockSize);
        blocks = directory.edits->sourceBlocks;
      } else {
        for (const auto& [copy, block] : directory.movedTo) {
          positions.push_back(blockToOffset(geometry_, block));
        }
        firstBlock = directory.movedTo.at(directory.copies.front());
        blocks = *directory.fit.fewestBlocks;
      }
      addStream(writer, directory.edits, firstBlock, blocks, std::move(positions));
    }
    for (auto& [added, directory] : newDirectories_) {
      addStream(writer, directory.edits, directory.firstBlock, *directory.fit.fewestBlocks,
                {blockToOffset(geometry_, directory.firstBlock)});
    }
  }

  void addStream(const DirectoryWriter& writer, std::shared_ptr<DirectoryEdits> edits,
                 std::int32_t firstBlock, std::int32_t blocks,
                 std::vector<std::int64_t> positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    plan_.changes.streams.push_back(
        writer.stream(std::move(edits), firstBlock, blocks, std::move(positions)));
  }

  void addFiles() {
    const std::vector<AddedEntry>& added = pending_.added();
    for (const auto& [parent, at, index] : appendedAt_) {
      if (added[index].directory) continue;
      plan_.changes.files.push_back({added[index].localPath,
                                     added[index].status,
                                     added[index].status.size,
                                     {blockToOffset(geometry_, startBlocks_[index])},
                                     {}});
    }
  }

  struct Appended {
    DirectoryEdits* parent;
    std::size_t at;       ///< in its parent's appended records
    std::uint32_t index;  ///< the added entry
  };

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const PendingChanges& pending_;
  std::int64_t imageLength_;
  TreeEditPlan plan_;
  std::map<std::int32_t, ChangedDirectory> changed_;
  std::map<std::uint32_t, NewDirectory> newDirectories_;
  std::vector<Appended> appendedAt_;  ///< every added entry that stands, in the order added
  std::vector<std::int32_t> startBlocks_;
  bool allocated_ = false;
};

}  // namespace

TreeEditPlan planTreeEdits(const ImageFile& image, const VolumeGeometry& geometry,
                           const PendingChanges& pending, ImageChanges base,
                           std::vector<RecordChange> records, const OutputPlace& output) {
  TreeEditPlanner planner(image, geometry, pending);
  return planner.run(std::move(base), std::move(records), output);
}

}  // namespace discshell
