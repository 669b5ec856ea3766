#include "volume/directory_map.h"

#include <algorithm>

#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {

class DirectoryMapBuilder final : public TreeVisitor {
 public:
  DirectoryMapBuilder(const ByteSource& image, const VolumeGeometry& geometry, DirectoryMap& map,
                      const DirectoryMap::FileVisitor& onFile)
      : geometry_(geometry), map_(map), onFile_(onFile), reader_(image) {}

  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (!directory) {
      if (onFile_) onFile_(entry, path);
      return false;
    }
    const auto index = static_cast<std::uint32_t>(map_.directories_.size());
    addDirectory(entry, true);
    open_.push_back(index);
    return true;
  }
  void leave(const std::string&) override { open_.pop_back(); }
  void revisit(const DirectoryEntry& entry, const std::string&) override {
    addDirectory(entry, false);
  }

 private:
  void addDirectory(const DirectoryEntry& entry, bool entered) {
    const auto blocks = readCopyBlocks(reader_, geometry_, entry);
    std::vector<std::int64_t> begins;
    for (const std::int32_t block : blocks ? *blocks : std::vector{entry.startBlock}) {
      begins.push_back(blockToOffset(geometry_, block));
    }
    map_.add(open_.empty() ? 0 : open_.back(), entry.recordPosition, entered, begins,
             entry.byteCount);
  }

  const VolumeGeometry& geometry_;
  DirectoryMap& map_;
  const DirectoryMap::FileVisitor& onFile_;
  WindowedReader reader_;
  std::vector<std::uint32_t> open_;  ///< the directories being walked; empty: the root
};

namespace {

// The root has no entry that gives its length: it reaches to the end of the
// block that holds its end marker (or where its walk stopped).
std::int64_t rootLength(const ByteSource& image, const VolumeGeometry& geometry) {
  WindowedReader reader(image);
  WalkState walk = beginWalk(reader, geometry.rootDirectoryOffset);
  while (nextEntry(reader, geometry, walk)) {
  }
  const std::int64_t end = std::int64_t{walk.position} + 4 - geometry.rootDirectoryOffset;
  const std::int64_t blockSize = geometry.blockSize;
  if (blockSize <= 0) return std::max<std::int64_t>(end, layout::kBlockHeaderSize);
  return std::max<std::int64_t>((end + blockSize - 1) / blockSize, 1) * blockSize;
}

std::vector<std::int64_t> rootCopies(const ByteSource& image, const VolumeGeometry& geometry) {
  WindowedReader reader(image, layout::kHeaderExtent);
  std::vector<std::int64_t> begins{geometry.rootDirectoryOffset};
  auto last = reader.read32(addWrapped(geometry.volumeOffset, layout::kRootLastCopyIndexField));
  if (!last || *last < 0 || *last > layout::kRootLastCopyIndexMax) last = 0;
  for (std::int32_t i = 1; i <= *last; ++i) {
    const std::int32_t field = layout::kRootBlockField + layout::kCopyBlockSize * i;
    const auto block = reader.read32(addWrapped(geometry.volumeOffset, field));
    if (!block) break;
    begins.push_back(blockToOffset(geometry, *block));
  }
  return begins;
}

}  // namespace

DirectoryMap DirectoryMap::build(const ByteSource& image, const VolumeGeometry& geometry,
                                 const FileVisitor& onFile) {
  DirectoryMap map;
  map.add(0, 0, true, rootCopies(image, geometry), rootLength(image, geometry));
  DirectoryMapBuilder builder(image, geometry, map, onFile);
  walkTree(image, geometry, geometry.rootDirectoryOffset, builder);
  map.index();
  return map;
}

void DirectoryMap::add(std::uint32_t parent, std::int32_t recordPosition, bool entered,
                       const std::vector<std::int64_t>& copyBegins, std::int64_t length) {
  const auto index = static_cast<std::uint32_t>(directories_.size());
  directories_.push_back({parent, recordPosition, static_cast<std::uint32_t>(stretches_.size()),
                          static_cast<std::uint32_t>(copyBegins.size()), entered});
  for (std::size_t i = 0; i < copyBegins.size(); ++i) {
    stretches_.push_back(
        {copyBegins[i], copyBegins[i] + length, index, static_cast<std::uint32_t>(i)});
  }
}

void DirectoryMap::index() {
  byBegin_.resize(stretches_.size());
  for (std::uint32_t i = 0; i < byBegin_.size(); ++i) byBegin_[i] = i;
  std::sort(byBegin_.begin(), byBegin_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return stretches_[a].begin < stretches_[b].begin;
  });
  reachMost_.resize(byBegin_.size());
  for (std::size_t i = 0; i < byBegin_.size(); ++i) {
    const bool further = i == 0 || stretches_[byBegin_[i]].end > stretches_[reachMost_[i - 1]].end;
    reachMost_[i] = further ? byBegin_[i] : reachMost_[i - 1];
  }
}

const DirectoryMap::Stretch* DirectoryMap::overlapping(std::int64_t begin, std::int64_t end) const {
  if (begin >= end) return nullptr;
  // Every stretch that begins before `end` and ends after `begin` overlaps;
  // the one of them reaching furthest is enough to tell.
  const auto before = std::partition_point(
      byBegin_.begin(), byBegin_.end(), [&](std::uint32_t i) { return stretches_[i].begin < end; });
  if (before == byBegin_.begin()) return nullptr;
  const Stretch& furthest =
      stretches_[reachMost_[static_cast<std::size_t>(before - byBegin_.begin() - 1)]];
  return furthest.end > begin ? &furthest : nullptr;
}

void DirectoryMap::forEachOverlapping(std::int64_t begin, std::int64_t end,
                                      const std::function<bool(const Stretch&)>& visit) const {
  if (begin >= end) return;
  const auto before = std::partition_point(
      byBegin_.begin(), byBegin_.end(), [&](std::uint32_t i) { return stretches_[i].begin < end; });
  // Back from the last stretch that begins before `end`, while the furthest
  // reach of the stretches before still passes `begin`.
  for (auto i = static_cast<std::size_t>(before - byBegin_.begin()); i-- > 0;) {
    if (stretches_[reachMost_[i]].end <= begin) return;
    const Stretch& stretch = stretches_[byBegin_[i]];
    if (stretch.end > begin && !visit(stretch)) return;
  }
}

std::optional<std::uint32_t> DirectoryMap::directoryAt(std::int64_t offset) const {
  auto i = std::partition_point(byBegin_.begin(), byBegin_.end(),
                                [&](std::uint32_t s) { return stretches_[s].begin < offset; });
  for (; i != byBegin_.end() && stretches_[*i].begin == offset; ++i) {
    const Stretch& stretch = stretches_[*i];
    if (stretch.copy == 0 && directories_[stretch.directory].entered) return stretch.directory;
  }
  return std::nullopt;
}

std::vector<std::int64_t> DirectoryMap::copyBegins(std::uint32_t directory) const {
  std::vector<std::int64_t> begins;
  for (const Copy& copy : copies(directory)) begins.push_back(copy.begin);
  return begins;
}

std::vector<DirectoryMap::Copy> DirectoryMap::copies(std::uint32_t directory) const {
  const Directory& d = directories_.at(directory);
  const std::int64_t first = stretches_[d.firstStretch].begin;
  // Every directory that a walk reads at the same place: the one entered,
  // each entry that met it again, and for the root the header's list.
  std::vector<std::uint32_t> same;
  auto i = std::partition_point(byBegin_.begin(), byBegin_.end(),
                                [&](std::uint32_t s) { return stretches_[s].begin < first; });
  for (; i != byBegin_.end() && stretches_[*i].begin == first; ++i) {
    if (stretches_[*i].copy == 0) same.push_back(stretches_[*i].directory);
  }
  std::sort(same.begin(), same.end());
  // Each place once, where it was first met: sorted by place to merge, then
  // back into the order met, so that a long copy list costs no more than
  // sorting it.
  std::vector<std::pair<Copy, std::size_t>> met;
  for (const std::uint32_t other : same) {
    const Directory& o = directories_[other];
    for (std::uint32_t c = 0; c < o.copyCount; ++c) {
      const Stretch& stretch = stretches_[o.firstStretch + c];
      met.push_back({{stretch.begin, stretch.end}, met.size()});
    }
  }
  std::stable_sort(met.begin(), met.end(),
                   [](const auto& a, const auto& b) { return a.first.begin < b.first.begin; });
  std::vector<std::pair<Copy, std::size_t>> places;
  for (const auto& copy : met) {
    if (!places.empty() && places.back().first.begin == copy.first.begin) {
      places.back().first.end = std::max(places.back().first.end, copy.first.end);
    } else {
      places.push_back(copy);
    }
  }
  std::sort(places.begin(), places.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<Copy> copies;
  copies.reserve(places.size());
  for (const auto& place : places) copies.push_back(place.first);
  return copies;
}

std::string DirectoryMap::path(const ByteSource& image, std::uint32_t directory) const {
  std::string path;
  WindowedReader reader(image);
  for (std::uint32_t d = directory; d != 0; d = directories_.at(d).parent) {
    std::array<unsigned char, layout::kNameFieldSize> field{};
    std::string name;
    if (reader.read(addWrapped(directories_[d].recordPosition, layout::kNameField), field)) {
      for (std::size_t i = 0; i < layout::kNameMaxLength && field[i] != 0; ++i) {
        name.push_back(static_cast<char>(field[i]));
      }
    }
    path.insert(0, "/" + name);
  }
  return path.empty() ? "/" : path;
}

}  // namespace discshell
