#include "edit/tree_edit_plan.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <memory>

#include "bytes/compare.h"
#include "edit/directory_writer.h"
#include "edit/overlap_gate.h"
#include "edit/tree_survey.h"
#include "volume/directory_map.h"
#include "volume/layout.h"

namespace discshell {
namespace {

// The plan goes in steps, each taking what the ones before made and
// returning what it makes: the edits (fixed before anything is measured),
// the survey of the tree, the fit of each directory in blocks, the place of
// each copy, the new blocks, the checks that refuse the write, and only then
// the final records and the changes, which nothing can refuse any more.

/// A directory whose records change: one of the image, which is re-packed,
/// or one that i adds.
struct EditedDirectory {
  std::size_t change = 0;  ///< the first change there: problems name its path
  DirectoryEdits edits;
};

// The new records of the added entries, made from the pending list as the
// writer asks for them. Until the blocks are allocated (while directories
// are measured) a record's byte count and first block are 0.
class AddedRecords final : public NewRecords {
 public:
  explicit AddedRecords(const PendingChanges& pending) : pending_(pending) {}
  /// `startBlocks` by added entry; `directoryBytes` by added directory.
  void place(std::shared_ptr<const std::vector<std::int32_t>> startBlocks,
             std::map<std::uint32_t, std::int32_t> directoryBytes) {
    startBlocks_ = std::move(startBlocks);
    directoryBytes_ = std::move(directoryBytes);
  }
  [[nodiscard]] NewRecord at(std::uint32_t key) const override {
    const AddedEntry& entry = pending_.added()[key];
    NewRecord record{pending_.nameOf(entry), entry.directory};
    if (!startBlocks_) return record;
    record.startBlock = (*startBlocks_)[key];
    record.byteCount =
        entry.directory ? directoryBytes_.at(key) : static_cast<std::int32_t>(entry.status.size);
    return record;
  }

 private:
  const PendingChanges& pending_;
  std::shared_ptr<const std::vector<std::int32_t>> startBlocks_;
  std::map<std::uint32_t, std::int32_t> directoryBytes_;
};

struct TreeEdits {
  std::map<std::int32_t, EditedDirectory> changed;  ///< of the image, by copy 0's position
  std::map<std::uint32_t, EditedDirectory> added;   ///< added directories, by added entry
  std::vector<bool> standing;  ///< by added entry: whether it is still added, under its parent
  std::size_t standingFiles = 0;
  std::shared_ptr<AddedRecords> newRecords;
  std::vector<RecordChange> inPlace;  ///< r's record changes outside `changed`
  [[nodiscard]] std::vector<std::int32_t> changedOffsets() const {
    std::vector<std::int32_t> offsets;
    for (const auto& [offset, directory] : changed) offsets.push_back(offset);
    return offsets;
  }
};

// Which directories change, and how: every record erased or renamed, every
// added entry that still stands under its parent, and r's record changes in
// a directory that is re-packed anyway.
TreeEdits collectEdits(const PendingChanges& pending, std::vector<RecordChange> records) {
  TreeEdits edits;
  const auto changedAt = [&](std::int32_t offset, std::size_t change) -> DirectoryEdits& {
    const auto [found, made] = edits.changed.try_emplace(offset);
    if (made) found->second.change = change;
    return found->second.edits;
  };
  for (const auto& [position, record] : pending.changedRecords()) {
    RecordEdit& edit = changedAt(record.directory, record.change).records[position];
    edit.erase = record.erased;
    if (record.renamed) edit.name = record.name;
  }
  const std::vector<AddedEntry>& added = pending.added();
  // Each directory's new records are counted first, so that its list of
  // 100,000 is made once, not grown by doubling beside its old self.
  edits.standing.assign(added.size(), false);
  std::map<std::pair<std::uint32_t, std::int32_t>, std::size_t> appendedTo;
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (!pending.stillAdded(i)) continue;
    edits.standing[i] = true;
    if (!added[i].directory) ++edits.standingFiles;
    ++appendedTo[{added[i].parent.added, added[i].parent.offset}];
  }
  edits.newRecords = std::make_shared<AddedRecords>(pending);
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (!edits.standing[i]) continue;
    const std::size_t change = pending.changeOf(i);
    if (added[i].directory) edits.added[i].change = change;
    DirectoryEdits& parent = added[i].parent.inImage()
                                 ? changedAt(added[i].parent.offset, change)
                                 : edits.added.at(added[i].parent.added).edits;
    if (parent.appended.empty()) {
      parent.appended.reserve(appendedTo[{added[i].parent.added, added[i].parent.offset}]);
      parent.newRecords = edits.newRecords;
    }
    parent.appended.push_back(i);
  }
  for (RecordChange& record : records) {
    const auto changed = edits.changed.find(record.directory);
    if (changed == edits.changed.end()) {
      edits.inPlace.push_back(std::move(record));
    } else {
      changed->second.edits.records[record.position].update = std::move(record.update);
    }
  }
  return edits;
}

// The added files' writes, made from the pending list as the writer asks:
// that list is not changed while a write runs.
class AddedFiles final : public LocalWriteSource {
 public:
  AddedFiles(const PendingChanges& pending, std::size_t most) : pending_(pending) {
    indexes_.reserve(most);
    positions_.reserve(most);
  }
  void add(std::uint32_t index, std::int64_t position) {
    indexes_.push_back(index);
    positions_.push_back(position);
  }
  [[nodiscard]] std::size_t size() const override { return indexes_.size(); }
  [[nodiscard]] LocalWriteView at(std::size_t i) const override {
    static const ReplacedBytes kNothingReplaced;
    const AddedEntry& entry = pending_.added()[indexes_[i]];
    return {pending_.localPath(indexes_[i]),
            entry.status,
            entry.status.size,
            {&positions_[i], 1},
            kNothingReplaced};
  }

 private:
  const PendingChanges& pending_;
  std::vector<std::uint32_t> indexes_;
  std::vector<std::int64_t> positions_;
};

/// How the records of each edited directory fit in blocks.
struct Fits {
  std::map<std::int32_t, DirectoryFit> changed;
  std::map<std::uint32_t, DirectoryFit> added;
  std::vector<PatchProblem> problems;
};

/// Each copy of each changed directory, where it begins now.
struct Placement {
  std::map<std::int32_t, std::vector<std::int64_t>> copies;
  std::vector<PatchProblem> problems;
};

/// The new stretches at the end.
struct Allocation {
  /// Of each added entry, by index; the new records read them too.
  std::shared_ptr<std::vector<std::int32_t>> startBlocks =
      std::make_shared<std::vector<std::int32_t>>();
  /// For each directory that moves, each distinct copy's new first block.
  std::map<std::int32_t, std::map<std::int64_t, std::int32_t>> movedTo;
  std::optional<std::int32_t> blockCount;  ///< the header's, when blocks were added
  std::int64_t end = 0;                    ///< the output's length
};

/// The directories as they are written: the edits with every field filled.
struct FinalDirectories {
  std::map<std::int32_t, std::shared_ptr<const DirectoryEdits>> changed;
  std::map<std::uint32_t, std::shared_ptr<const DirectoryEdits>> added;
  std::vector<ByteWrite> recordWrites;  ///< the root's header slots and records patched in place
};

class TreeEditPlanner {
 public:
  TreeEditPlanner(const ImageFile& image, const VolumeGeometry& geometry,
                  const PendingChanges& pending)
      : image_(image),
        geometry_(geometry),
        pending_(pending),
        imageLength_(image.length().value_or(0)) {}

  TreeEditPlan run(ImageChanges base, std::vector<RecordChange> records,
                   const OutputPlace& output) {
    TreeEdits edits = collectEdits(pending_, std::move(records));
    const TreeSurvey survey = surveyTree(image_, geometry_, edits.changedOffsets());
    prepare(edits, survey);
    const DirectoryWriter writer(image_, geometry_, survey.conventions, survey.templates);
    TreeEditPlan plan;
    const Fits fits = fit(writer, edits, survey);
    if (!fits.problems.empty()) {
      plan.problems = fits.problems;
      return plan;
    }
    const std::vector<Stretch> expected = expectedRewrites(edits, fits, survey);
    LiveStretches volume = surveyVolume(image_, geometry_, {}, expected, true, "");
    const Placement placement = place(edits, fits, volume);
    const std::vector<Rewrite> rewrites =
        rewritesOf(edits, fits, placement, survey, volume.directories);
    if (!covered(rewrites, expected)) {
      volume = surveyVolume(image_, geometry_, {}, stretchesOf(rewrites), true, "");
    }
    const Allocation allocation = allocate(edits, fits, placement, base.length);
    plan.problems = placement.problems;
    for (PatchProblem& problem :
         checkRewrites(image_, geometry_, volume.directories, volume.others, rewrites)) {
      plan.problems.push_back(std::move(problem));
    }
    check(edits, allocation, survey, writer, volume.directories, output, plan.problems);
    if (!plan.problems.empty()) return plan;
    FinalDirectories directories =
        finalRecords(edits, fits, allocation, survey, writer, volume.directories);
    plan.changes = changes(writer, edits, fits, allocation, placement, std::move(directories),
                           std::move(base));
    return plan;
  }

 private:
  // The path a problem with a changed directory names: its first change's.
  const std::string& subjectOf(const EditedDirectory& directory) const {
    return pending_.subject(directory.change);
  }

  // What the edits of each directory read their records from: copy 0, its
  // records' kinds and the headers of its blocks; a new directory's block
  // headers copy its nearest ancestor of the image's first block.
  void prepare(TreeEdits& edits, const TreeSurvey& survey) const {
    for (auto& [offset, directory] : edits.changed) {
      const SurveyedDirectory& surveyed = survey.directories.at(offset);
      directory.edits.source = offset;
      directory.edits.sourceBlocks = surveyed.recordBlocks;
      directory.edits.sourceKinds = surveyed.kinds;
      directory.edits.header = firstHeader(offset);
    }
    for (auto& [index, directory] : edits.added) {
      directory.edits.header = firstHeader(imageAncestor(index));
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

  // The blocks each directory has and needs.
  Fits fit(const DirectoryWriter& writer, const TreeEdits& edits, const TreeSurvey& survey) const {
    Fits fits;
    for (const auto& [offset, directory] : edits.changed) {
      if (!survey.directories.at(offset).reached) {
        fits.problems.push_back(
            {subjectOf(directory), "its directory is not reached from the root.\n"});
        continue;
      }
      const DirectoryFit& fit = fits.changed[offset] = writer.measure(directory.edits);
      if (!fit.fewestBlocks) fits.problems.push_back({subjectOf(directory), fit.problem});
    }
    for (const auto& [index, directory] : edits.added) {
      const DirectoryFit& fit = fits.added[index] = writer.measure(directory.edits);
      if (!fit.fewestBlocks) fits.problems.push_back({subjectOf(directory), fit.problem});
    }
    return fits;
  }

  std::int64_t ownLength(const Fits& fits, std::int32_t offset) const {
    return std::int64_t{fits.changed.at(offset).sourceBlocks} * geometry_.blockSize;
  }

  // Where the output will write over what the volume holds, as far as the
  // survey tells before the volume is walked: each copy of each directory
  // re-packed in place, as its records (and for the root, the header) name
  // them. The walk keeps the data of files that meets these.
  std::vector<Stretch> expectedRewrites(const TreeEdits& edits, const Fits& fits,
                                        const TreeSurvey& survey) const {
    std::vector<Stretch> writes;
    for (const auto& [offset, directory] : edits.changed) {
      const DirectoryFit& fit = fits.changed.at(offset);
      if (!fit.fitsInPlace) continue;
      std::vector<std::int64_t> begins{offset};
      for (const ParentRecord& parent : survey.directories.at(offset).parents) {
        for (const std::int32_t block : parent.copies) {
          begins.push_back(blockToOffset(geometry_, block));
        }
      }
      if (offset == geometry_.rootDirectoryOffset) {
        for (const std::int32_t block : rootSlots())
          begins.push_back(blockToOffset(geometry_, block));
      }
      for (const std::int64_t begin : begins) {
        writes.push_back({begin, begin + std::int64_t{*fit.fewestBlocks} * geometry_.blockSize, 0});
      }
    }
    return writes;
  }

  static std::vector<Stretch> stretchesOf(const std::vector<Rewrite>& rewrites) {
    std::vector<Stretch> stretches;
    for (const Rewrite& rewrite : rewrites) stretches.push_back({rewrite.begin, rewrite.end, 0});
    return stretches;
  }

  // Whether every rewrite lies within the stretches the walk looked for data in.
  static bool covered(const std::vector<Rewrite>& rewrites, const std::vector<Stretch>& expected) {
    return std::all_of(rewrites.begin(), rewrites.end(), [&](const Rewrite& rewrite) {
      return std::any_of(expected.begin(), expected.end(), [&](const Stretch& stretch) {
        return stretch.begin <= rewrite.begin && rewrite.end <= stretch.end;
      });
    });
  }

  // The header's root copy slots: the blocks of copies 0 to n.
  std::vector<std::int32_t> rootSlots() const {
    const std::int32_t header = geometry_.volumeOffset;
    std::array<unsigned char, 4> field{};
    std::int32_t last = 0;
    if (readExact(image_, addWrapped(header, layout::kRootLastCopyIndexField), field)) {
      last = readBigEndian32(field);
      if (last < 0 || last > layout::kRootLastCopyIndexMax) last = 0;
    }
    std::vector<std::int32_t> slots;
    for (std::int32_t i = 0; i <= last; ++i) {
      if (!readExact(image_, addWrapped(header, layout::kRootBlockField + 4 * i), field)) break;
      slots.push_back(readBigEndian32(field));
    }
    return slots;
  }

  // What the output writes over where it stands: each copy of each
  // directory re-packed in place, as many blocks as its records need; and
  // each copy of each record that moves a directory, in a directory that
  // is not re-packed itself.
  std::vector<Rewrite> rewritesOf(const TreeEdits& edits, const Fits& fits,
                                  const Placement& placement, const TreeSurvey& survey,
                                  const DirectoryMap& map) const {
    std::vector<Rewrite> rewrites;
    for (const auto& [offset, directory] : edits.changed) {
      const DirectoryFit& fit = fits.changed.at(offset);
      const std::string where = map.path(image_, map.directoryAt(offset).value_or(0));
      const std::vector<std::int64_t>& copies = placement.copies.at(offset);
      for (std::size_t c = 0; fit.fitsInPlace && c < copies.size(); ++c) {
        rewrites.push_back(
            {copies[c], copies[c] + std::int64_t{*fit.fewestBlocks} * geometry_.blockSize, offset,
             subjectOf(directory), "copy " + std::to_string(c) + " of " + where});
      }
      if (fit.fitsInPlace) continue;
      for (const ParentRecord& parent : survey.directories.at(offset).parents) {
        if (edits.changed.contains(parent.holder)) continue;
        const auto holder = map.directoryAt(parent.holder);
        const std::vector<std::int64_t> holderCopies =
            holder ? map.copyBegins(*holder) : std::vector<std::int64_t>{parent.holder};
        const std::int64_t length = static_cast<std::int64_t>(
            layout::kMinEntrySize +
            layout::kCopyBlockSize * (std::max<std::size_t>(parent.copies.size(), 1) - 1));
        for (std::size_t c = 0; c < holderCopies.size(); ++c) {
          const std::int64_t at = holderCopies[c] + parent.position - holderCopies[0];
          rewrites.push_back(
              {at, at + length, parent.holder, subjectOf(directory),
               "copy " + std::to_string(c) + " of " + map.path(image_, holder.value_or(0))});
        }
      }
    }
    return rewrites;
  }

  // Every copy of every changed directory, each checked to lie in the image
  // and to hold the same bytes as copy 0.
  Placement place(const TreeEdits& edits, const Fits& fits, const LiveStretches& volume) const {
    Placement placement;
    ByteComparer compare;
    for (const auto& [offset, directory] : edits.changed) {
      const auto index = volume.directories.directoryAt(offset);
      std::vector<std::int64_t>& copies = placement.copies[offset];
      copies = index ? volume.directories.copyBegins(*index) : std::vector<std::int64_t>{};
      if (copies.empty() || copies.front() != offset) copies.insert(copies.begin(), offset);
      const std::string where = volume.directories.path(image_, index.value_or(0));
      const std::int64_t length = ownLength(fits, offset);
      const std::string subject = subjectOf(directory);
      for (std::size_t c = 0; c < copies.size(); ++c) {
        const std::int64_t begin = copies[c];
        const std::string which = "copy " + std::to_string(c) + " of " + where;
        const auto problem = [&](const std::string& what) {
          placement.problems.push_back({subject, which + what});
        };
        if (begin < 0 || begin + length > imageLength_) {
          problem(" lies outside the image.\n");
        } else if (c > 0 && compare(image_.file(), offset, image_.file(), begin, length) !=
                                Comparison::kSame) {
          problem(" differs.\n");
        }
      }
    }
    return placement;
  }

  // New stretches from the first block boundary at or after the image's
  // end, the volume's end and whatever `baseLength` already reaches to, in
  // order: the added files' data, the added directories, then the changed
  // directories that no longer fit, one stretch for each distinct copy.
  Allocation allocate(const TreeEdits& edits, const Fits& fits, const Placement& placement,
                      std::int64_t baseLength) const {
    Allocation allocation;
    std::vector<std::int32_t>& startBlocks = *allocation.startBlocks;
    startBlocks.assign(pending_.added().size(), 0);
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
    for (std::uint32_t i = 0; i < added.size(); ++i) {
      if (edits.standing[i] && !added[i].directory) {
        startBlocks[i] = take(wholeBlocks(added[i].status.size));
      }
    }
    for (const auto& [index, fit] : fits.added) startBlocks[index] = take(*fit.fewestBlocks);
    for (const auto& [offset, fit] : fits.changed) {
      if (fit.fitsInPlace) continue;
      std::map<std::int64_t, std::int32_t>& moved = allocation.movedTo[offset];
      for (const std::int64_t copy : placement.copies.at(offset)) {
        if (!moved.contains(copy)) moved[copy] = take(*fit.fewestBlocks);
      }
    }
    if (next != first) {
      allocation.blockCount = static_cast<std::int32_t>(std::min<std::int64_t>(
          (next - origin) / blockSize, std::numeric_limits<std::int32_t>::max()));
    }
    allocation.end = next != first ? next : std::max(imageLength_, baseLength);
    return allocation;
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

  // What refuses the write besides the placement of the copies: a volume
  // that would pass 2 GiB, an output that is no regular file, and a moved
  // directory's records that cannot all be changed. The first record that
  // names a copy the directory does not have ends the look at the records.
  void check(const TreeEdits& edits, const Allocation& allocation, const TreeSurvey& survey,
             const DirectoryWriter& writer, const DirectoryMap& map, const OutputPlace& output,
             std::vector<PatchProblem>& problems) const {
    if (allocation.end > std::numeric_limits<std::int32_t>::max()) {
      problems.push_back({output.path, "would reach 2 GiB.\n"});
    }
    checkOutput(image_, output, problems);
    if (!problems.empty()) return;
    for (const auto& [offset, moved] : allocation.movedTo) {
      const std::string& subject = subjectOf(edits.changed.at(offset));
      for (const ParentRecord& parent : survey.directories.at(offset).parents) {
        for (const std::int32_t block : parent.copies) {
          if (!moved.contains(blockToOffset(geometry_, block))) {
            problems.push_back({subject,
                                "a record of its directory names a copy that is not "
                                "among the directory's copies.\n"});
            return;
          }
        }
        if (edits.changed.contains(parent.holder)) continue;
        const RecordUpdate probe{0, 0, parent.copies};
        patchInPlace(writer, map, parent, probe, subject, problems);
      }
    }
  }

  // A parent record changed where it stands, in every copy of its
  // directory: its writes, or the problems that keep it from being made.
  std::vector<ByteWrite> patchInPlace(const DirectoryWriter& writer, const DirectoryMap& map,
                                      const ParentRecord& parent, const RecordUpdate& update,
                                      const std::string& subject,
                                      std::vector<PatchProblem>& problems) const {
    const auto index = map.directoryAt(parent.holder);
    const std::vector<std::int64_t> copies =
        index ? map.copyBegins(*index) : std::vector<std::int64_t>{parent.holder};
    RecordPatch patch = writer.patchRecord(copies, parent.position, update);
    const std::string where = map.path(image_, index.value_or(0));
    if (!patch.fits) {
      problems.push_back({subject, "its record in " + where + " cannot be read.\n"});
      return {};
    }
    for (const std::size_t c : patch.outside) {
      problems.push_back(
          {subject, "copy " + std::to_string(c) + " of " + where + " lies outside the image.\n"});
    }
    for (const std::size_t c : patch.differing) {
      problems.push_back({subject, "copy " + std::to_string(c) + " of " + where + " differs.\n"});
    }
    return std::move(patch.writes);
  }

  // Takes each directory's edits out of `edits` (the steps after this one
  // need only their first changes), so that the records of 100,000 added
  // entries are held once.
  FinalDirectories finalRecords(TreeEdits& edits, const Fits& fits, const Allocation& allocation,
                                const TreeSurvey& survey, const DirectoryWriter& writer,
                                const DirectoryMap& map) const {
    std::map<std::int32_t, DirectoryEdits> changed;
    for (auto& [offset, directory] : edits.changed) {
      changed[offset] = std::move(directory.edits);
      changed[offset].sourceBlocks = fits.changed.at(offset).sourceBlocks;
    }
    std::map<std::uint32_t, DirectoryEdits> added;
    for (auto& [index, directory] : edits.added) added[index] = std::move(directory.edits);
    std::map<std::uint32_t, std::int32_t> directoryBytes;
    for (const auto& [index, fit] : fits.added) {
      directoryBytes[index] = *fit.fewestBlocks * geometry_.blockSize;
    }
    edits.newRecords->place(allocation.startBlocks, std::move(directoryBytes));
    FinalDirectories directories;
    directories.recordWrites = moveParents(edits, fits, allocation, survey, writer, map, changed);
    for (auto& [offset, directoryEdits] : changed) {
      directories.changed[offset] =
          std::make_shared<const DirectoryEdits>(std::move(directoryEdits));
    }
    for (auto& [index, directoryEdits] : added) {
      directories.added[index] = std::make_shared<const DirectoryEdits>(std::move(directoryEdits));
    }
    return directories;
  }

  // A directory that moves gets new copy numbers and its length in every
  // record that leads to it (the root: in the header); where that record's
  // directory is re-packed anyway, the change goes into it, else into each
  // copy of the record in place. Returns the writes in place.
  std::vector<ByteWrite> moveParents(const TreeEdits& edits, const Fits& fits,
                                     const Allocation& allocation, const TreeSurvey& survey,
                                     const DirectoryWriter& writer, const DirectoryMap& map,
                                     std::map<std::int32_t, DirectoryEdits>& changed) const {
    std::vector<ByteWrite> writes;
    for (const auto& [offset, moved] : allocation.movedTo) {
      const std::int32_t blocks = *fits.changed.at(offset).fewestBlocks;
      if (offset == geometry_.rootDirectoryOffset) moveRoot(moved, writes);
      for (const ParentRecord& parent : survey.directories.at(offset).parents) {
        RecordUpdate update{blocks * geometry_.blockSize, blocks, {}};
        for (const std::int32_t block : parent.copies) {
          update.copies.push_back(moved.at(blockToOffset(geometry_, block)));
        }
        if (const auto holder = changed.find(parent.holder); holder != changed.end()) {
          holder->second.records[parent.position].update = update;
          continue;
        }
        std::vector<PatchProblem> none;
        for (ByteWrite& write :
             patchInPlace(writer, map, parent, update, subjectOf(edits.changed.at(offset)), none)) {
          writes.push_back(std::move(write));
        }
      }
    }
    return writes;
  }

  // Each of the header's root slots gets the new block of the copy it names.
  void moveRoot(const std::map<std::int64_t, std::int32_t>& moved,
                std::vector<ByteWrite>& writes) const {
    const std::vector<std::int32_t> slots = rootSlots();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const auto to = moved.find(blockToOffset(geometry_, slots[i]));
      if (to == moved.end()) continue;
      writes.push_back({std::int64_t{geometry_.volumeOffset} + layout::kRootBlockField +
                            layout::kCopyBlockSize * static_cast<std::int64_t>(i),
                        bigEndian32Text(to->second)});
    }
  }

  // The output's changes: the header's new block count, the records written
  // in place, u's or r's own changes (their block count yields to this
  // plan's), every directory re-packed or added, and the added files' data.
  ImageChanges changes(const DirectoryWriter& writer, const TreeEdits& edits, const Fits& fits,
                       const Allocation& allocation, const Placement& placement,
                       FinalDirectories directories, ImageChanges base) const {
    ImageChanges changes;
    const std::int64_t blockCountField =
        std::int64_t{geometry_.volumeOffset} + layout::kBlockCountField;
    if (allocation.blockCount) {
      changes.bytes.push_back({blockCountField, bigEndian32Text(*allocation.blockCount)});
    }
    for (ByteWrite& write : directories.recordWrites) changes.bytes.push_back(std::move(write));
    for (ByteWrite& write : base.bytes) {
      if (write.position != blockCountField || !allocation.blockCount) {
        changes.bytes.push_back(std::move(write));
      }
    }
    writeInPlace(edits.inPlace, changes);
    changes.files = std::move(base.files);
    changes.streams = std::move(base.streams);
    changes.length = allocation.end;
    addDirectoryStreams(writer, fits, allocation, placement, directories, changes);
    addFiles(edits, allocation, changes);
    return changes;
  }

  void addDirectoryStreams(const DirectoryWriter& writer, const Fits& fits,
                           const Allocation& allocation, const Placement& placement,
                           const FinalDirectories& directories, ImageChanges& changes) const {
    for (const auto& [offset, edits] : directories.changed) {
      const DirectoryFit& fit = fits.changed.at(offset);
      std::vector<std::int64_t> positions;
      std::int32_t firstBlock = 0;
      std::int32_t blocks = 0;
      if (fit.fitsInPlace) {
        positions = placement.copies.at(offset);
        firstBlock =
            static_cast<std::int32_t>((offset - geometry_.volumeOffset) / geometry_.blockSize);
        blocks = *fit.fewestBlocks;
      } else {
        const std::map<std::int64_t, std::int32_t>& moved = allocation.movedTo.at(offset);
        for (const auto& [copy, block] : moved)
          positions.push_back(blockToOffset(geometry_, block));
        firstBlock = moved.at(placement.copies.at(offset).front());
        blocks = *fit.fewestBlocks;
      }
      changes.streams.push_back(stream(writer, edits, firstBlock, blocks, std::move(positions)));
    }
    for (const auto& [index, edits] : directories.added) {
      const std::int32_t firstBlock = (*allocation.startBlocks)[index];
      changes.streams.push_back(stream(writer, edits, firstBlock,
                                       *fits.added.at(index).fewestBlocks,
                                       {blockToOffset(geometry_, firstBlock)}));
    }
  }

  static StreamWrite stream(const DirectoryWriter& writer,
                            std::shared_ptr<const DirectoryEdits> edits, std::int32_t firstBlock,
                            std::int32_t blocks, std::vector<std::int64_t> positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return writer.stream(std::move(edits), firstBlock, blocks, std::move(positions));
  }

  void addFiles(const TreeEdits& edits, const Allocation& allocation, ImageChanges& changes) const {
    auto files = std::make_shared<AddedFiles>(pending_, edits.standingFiles);
    const std::vector<AddedEntry>& added = pending_.added();
    for (std::uint32_t i = 0; i < added.size(); ++i) {
      if (!edits.standing[i] || added[i].directory) continue;
      files->add(i, blockToOffset(geometry_, (*allocation.startBlocks)[i]));
    }
    changes.files.kept = std::move(files);
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const PendingChanges& pending_;
  std::int64_t imageLength_;
};

}  // namespace

TreeEditPlan planTreeEdits(const ImageFile& image, const VolumeGeometry& geometry,
                           const PendingChanges& pending, ImageChanges base,
                           std::vector<RecordChange> records, const OutputPlace& output) {
  TreeEditPlanner planner(image, geometry, pending);
  return planner.run(std::move(base), std::move(records), output);
}

}  // namespace discshell
