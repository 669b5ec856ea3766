#include "edit/overlap_gate.h"

#include <algorithm>

namespace discshell {
namespace {

// What a rewrite meets first, as a refusal names it; none when nothing.
std::optional<std::string> firstMet(const ImageFile& image, const VolumeGeometry& geometry,
                                    const DirectoryMap& directories, const StretchIndex& others,
                                    const std::vector<OtherData>& othersData,
                                    const Rewrite& rewrite) {
  const std::int64_t blockZero = geometry.volumeOffset;
  if (overlapsVolumeHeader(geometry, rewrite.begin, rewrite.end)) return "the volume header";
  if (rewrite.begin < blockZero + std::max(geometry.blockSize, 1) && rewrite.end > blockZero) {
    return "block 0";
  }
  std::optional<std::uint32_t> directory;
  directories.forEachOverlapping(rewrite.begin, rewrite.end, [&](const DirectoryMap::Stretch& s) {
    if (rewrite.directory && directories.firstCopyBegin(s.directory) == *rewrite.directory) {
      return true;  // its own copy
    }
    directory = s.directory;
    return false;
  });
  if (directory) return "the directory " + directories.path(image, *directory);
  if (const Stretch* other = others.overlapping(rewrite.begin, rewrite.end)) {
    return othersData[other->owner].path;
  }
  return std::nullopt;
}

}  // namespace

std::vector<PatchProblem> checkRewrites(const ImageFile& image, const VolumeGeometry& geometry,
                                        const DirectoryMap& directories,
                                        const std::vector<OtherData>& others,
                                        const std::vector<Rewrite>& rewrites) {
  std::vector<Stretch> stretches;
  for (std::size_t i = 0; i < others.size(); ++i) {
    stretches.push_back({others[i].begin, others[i].end, i});
  }
  const StretchIndex index(std::move(stretches));
  std::vector<PatchProblem> problems;
  for (const Rewrite& rewrite : rewrites) {
    if (const auto met = firstMet(image, geometry, directories, index, others, rewrite)) {
      problems.push_back({rewrite.subject, rewrite.what + " overlaps " + *met + ".\n"});
    }
  }
  return problems;
}

void checkDataRewrites(const ImageFile& image, const VolumeGeometry& geometry,
                       const std::vector<ChangedEntry>& changed, const DirectoryMap& directories,
                       std::vector<PatchProblem>& problems) {
  std::vector<Rewrite> rewrites;
  for (const ChangedEntry& entry : changed) {
    const std::int64_t length = blocksLength(entry.entry.byteCount, geometry.blockSize);
    for (std::size_t i = 0; i < entry.copies.size(); ++i) {
      const std::int64_t begin = blockToOffset(geometry, entry.copies[i]);
      rewrites.push_back(
          {begin, begin + length, std::nullopt, entry.path, "copy " + std::to_string(i)});
    }
  }
  for (PatchProblem& problem : checkRewrites(image, geometry, directories, {}, rewrites)) {
    problems.push_back(std::move(problem));
  }
}

}  // namespace discshell
