#include "edit/tree_survey.h"

#include <optional>
#include <string>

#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {
namespace {

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

class SurveyWalk final : public TreeVisitor {
 public:
  SurveyWalk(const ImageFile& image, const VolumeGeometry& geometry, TreeSurvey& survey)
      : geometry_(geometry), survey_(survey), reader_(image) {
    open(geometry.rootDirectoryOffset);
  }

  bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
    meet(entry, directory);
    if (!directory) return false;
    open(blockToOffset(geometry_, entry.startBlock));
    if (levels_.back().surveyed != nullptr) {
      levels_.back().surveyed->recordBlocks = entry.byteCount / geometry_.blockSize;
    }
    return true;
  }
  void revisit(const DirectoryEntry& entry, const std::string&) override { meet(entry, true); }
  void leave(const std::string&) override { close(); }

  /// After the walk: the root's end, and what the conventions came to.
  void finish() {
    close();
    survey_.conventions = {endOffset_.holds(), lastRecord_.holds(), blockEnd_.holds()};
  }

 private:
  struct Previous {
    std::int32_t position = 0;
    std::int64_t length = 0;
    std::uint32_t flags = 0;
  };
  struct Level {
    std::int32_t offset = 0;
    SurveyedDirectory* surveyed = nullptr;
    std::optional<Previous> previous;
  };

  void open(std::int32_t offset) {
    const auto found = survey_.directories.find(offset);
    Level level;
    level.offset = offset;
    if (found != survey_.directories.end()) {
      level.surveyed = &found->second;
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
    if (level.surveyed != nullptr) level.surveyed->kinds.push_back(directory);
    keepTemplate(entry, directory);
    if (!directory) return;
    const auto target = survey_.directories.find(blockToOffset(geometry_, entry.startBlock));
    if (target == survey_.directories.end()) return;
    const auto copies = readCopyBlocks(reader_, geometry_, entry);
    target->second.parents.push_back(
        {level.offset, entry.recordPosition, copies ? *copies : std::vector{entry.startBlock}});
  }

  // The first record of each kind, for new records to copy what the walk
  // does not read.
  void keepTemplate(const DirectoryEntry& entry, bool directory) {
    std::string& kept = directory ? survey_.templates.directory : survey_.templates.file;
    if (!kept.empty()) return;
    kept.resize(layout::kMinEntrySize);
    if (!reader_.read(entry.recordPosition,
                      {reinterpret_cast<unsigned char*>(kept.data()), kept.size()})) {
      kept.clear();
    }
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
  TreeSurvey& survey_;
  WindowedReader reader_;
  std::vector<Level> levels_;
  Evidence endOffset_;
  Evidence lastRecord_;
  Evidence blockEnd_;
};

}  // namespace

TreeSurvey surveyTree(const ImageFile& image, const VolumeGeometry& geometry,
                      const std::vector<std::int32_t>& offsets) {
  TreeSurvey survey;
  for (const std::int32_t offset : offsets) survey.directories.try_emplace(offset);
  SurveyWalk walk(image, geometry, survey);
  walkTree(image, geometry, geometry.rootDirectoryOffset, walk);
  walk.finish();
  return survey;
}

}  // namespace discshell
