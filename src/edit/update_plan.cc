#include "edit/update_plan.h"

#include <algorithm>
#include <set>

#include "edit/overlap_gate.h"
#include "local/local_tree.h"

namespace discshell {
namespace {

// The bytes each write and each other entry's data would hold, checked to
// agree wherever they overlap. Owners below `changed.size()` are writes of
// that changed entry; the rest are `others`, whose bytes are the image's.
class OverlapCheck {
 public:
  OverlapCheck(const ImageFile& image, const platform::Directory& top,
               const std::vector<ChangedEntry>& changed, const std::vector<OtherData>& others,
               std::vector<PatchProblem>& problems)
      : image_(image), top_(top), changed_(changed), others_(others), problems_(problems) {}

  void operator()(const Stretch& earlier, const Stretch& later) {
    const bool earlierWrite = earlier.owner < changed_.size();
    const bool laterWrite = later.owner < changed_.size();
    if (!earlierWrite && !laterWrite) return;  // both the image's own bytes
    const std::int64_t length = std::min(earlier.end, later.end) - later.begin;
    if (same(earlier, later.begin - earlier.begin, later, length)) return;
    const Stretch& write = earlierWrite ? earlier : later;
    const Stretch& other = earlierWrite ? later : earlier;
    const std::string& path = changed_[write.owner].path;
    const std::string message =
        other.owner < changed_.size()
            ? "overlaps " + changed_[other.owner].path + " in the image with different bytes.\n"
            : "shares its data with " + others_[other.owner - changed_.size()].path +
                  ", which is not changed the same way.\n";
    // Each copy of the other entry meets the write: one line says it.
    if (reported_.insert({write.owner, message}).second) problems_.push_back({path, message});
  }

 private:
  // The bytes of `a` from `aSkip` on against those of `b` from its start.
  bool same(const Stretch& a, std::int64_t aSkip, const Stretch& b, std::int64_t length) {
    const auto aFile = open(a);
    const auto bFile = open(b);
    if (!aFile || !bFile) return false;
    const std::int64_t aPosition = a.owner < changed_.size() ? aSkip : a.begin + aSkip;
    const std::int64_t bPosition = b.owner < changed_.size() ? 0 : b.begin;
    return compare_(aFile->file(), aPosition, bFile->file(), bPosition, length) ==
           Comparison::kSame;
  }

  // A local file, or the image: what a stretch's bytes are read from.
  struct Source {
    std::optional<platform::File> local;
    const platform::File* image = nullptr;
    [[nodiscard]] const platform::File& file() const { return local ? *local : *image; }
  };
  std::optional<Source> open(const Stretch& stretch) {
    if (stretch.owner >= changed_.size()) return Source{std::nullopt, &image_.file()};
    auto local = openBelow(top_, changed_[stretch.owner].localPath);
    if (!local) return std::nullopt;
    return Source{std::move(local), nullptr};
  }

  const ImageFile& image_;
  const platform::Directory& top_;
  const std::vector<ChangedEntry>& changed_;
  const std::vector<OtherData>& others_;
  std::vector<PatchProblem>& problems_;
  ByteComparer compare_;
  std::set<std::pair<std::size_t, std::string>> reported_;
};

}  // namespace

PatchPlan planUpdate(const ImageFile& image, const VolumeGeometry& geometry,
                     const platform::Directory& top, const PatchTarget& target,
                     const OutputPlace& output) {
  ChangeScan scan = scanChanges(image, geometry, top, target, LongerFiles::kRefused);
  PatchPlan plan{std::move(scan.problems),  std::move(scan.revisits), scan.noLocalFiles, {}, {}, {},
                 std::move(scan.untracked), scan.untrackedCount};
  if (scan.changed.empty()) return plan;
  const std::vector<ChangedEntry>& changed = scan.changed;
  std::vector<std::vector<std::int64_t>> positions;
  std::vector<Stretch> writes;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    positions.push_back(copyPositions(geometry, changed[i].copies));
    if (changed[i].length == 0) continue;
    for (const std::int64_t position : positions.back()) {
      writes.push_back({position, position + changed[i].length, i});
    }
  }
  const LiveStretches survey = surveyVolume(image, geometry, changed, writes, false, target.base);
  checkDataRewrites(image, geometry, changed, survey.directories, plan.problems);
  for (std::size_t i = 0; i < survey.others.size(); ++i) {
    writes.push_back({survey.others[i].begin, survey.others[i].end, changed.size() + i});
  }
  sweepOverlaps(writes, OverlapCheck(image, top, changed, survey.others, plan.problems));
  checkOutput(image, output, plan.problems);
  if (!plan.problems.empty()) return plan;
  plan.changes.length = image.length().value_or(0);
  for (std::size_t i = 0; i < changed.size(); ++i) {
    plan.lines.push_back({changed[i].path, changed[i].length, changed[i].copies.size(), {}});
    ReplacedBytes replaced{positions[i], changed[i].entry.byteCount};
    plan.changes.files.held.push_back({changed[i].localPath, changed[i].local, changed[i].length,
                                       std::move(positions[i]), std::move(replaced)});
  }
  return plan;
}

}  // namespace discshell
