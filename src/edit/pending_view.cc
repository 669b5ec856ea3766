#include "edit/pending_view.h"

#include <algorithm>
#include <array>

#include "local/local_name.h"
#include "volume/layout.h"

namespace discshell {
namespace {

std::uint32_t nameHash(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const char c : name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

// Where the shell stands, as a path to start from.
PendingPath pathOfLevels(const std::vector<Level>& levels) {
  PendingPath path;
  for (const Level& level : levels) {
    path.directories.push_back({PendingDirectory::kImage, level.offset});
    path.names.push_back(level.name);
  }
  return path;
}

}  // namespace

const std::vector<std::uint64_t>& RecentNameIndex::keysOf(const ImageFile& image,
                                                          const VolumeGeometry& geometry,
                                                          std::int32_t directory) {
  const auto status = image.file().status();
  if (!status || !imageStatus_ || !status->unchangedSince(*imageStatus_)) kept_.clear();
  imageStatus_ = status;
  auto found = std::find_if(kept_.begin(), kept_.end(),
                            [&](const Directory& kept) { return kept.offset == directory; });
  if (found == kept_.end()) {
    Directory made{directory, {}};
    WindowedReader reader(image);
    WalkState walk = beginWalk(reader, directory);
    while (const auto entry = nextEntry(reader, geometry, walk)) {
      made.keys.push_back(std::uint64_t{nameHash(entry->name)} << 32 |
                          static_cast<std::uint32_t>(entry->recordPosition));
    }
    std::sort(made.keys.begin(), made.keys.end());
    made.keys.shrink_to_fit();
    if (kept_.size() == kDirectoriesKept) kept_.pop_back();
    kept_.insert(kept_.begin(), std::move(made));
  } else {
    std::rotate(kept_.begin(), found, found + 1);
  }
  return kept_.front().keys;
}

std::vector<std::int32_t> RecentNameIndex::find(const ImageFile& image,
                                                const VolumeGeometry& geometry,
                                                std::int32_t directory, std::string_view name) {
  const std::vector<std::uint64_t>& keys = keysOf(image, geometry, directory);
  const std::uint64_t first = std::uint64_t{nameHash(name)} << 32;
  std::vector<std::int32_t> positions;
  // Two names may share a hash: each candidate's name is read to be sure.
  for (auto key = std::lower_bound(keys.begin(), keys.end(), first);
       key != keys.end() && (*key >> 32) == (first >> 32); ++key) {
    const auto position = static_cast<std::int32_t>(static_cast<std::uint32_t>(*key));
    std::array<unsigned char, layout::kNameFieldSize> field{};
    if (!readExact(image, addWrapped(position, layout::kNameField), field)) continue;
    const auto end = std::find(field.begin(), field.begin() + layout::kNameMaxLength, 0);
    if (std::string_view(reinterpret_cast<const char*>(field.data()),
                         static_cast<std::size_t>(end - field.begin())) == name) {
      positions.push_back(position);
    }
  }
  return positions;
}

PendingDirectory PendingEntry::contents(const VolumeGeometry& geometry) const {
  if (record) return {PendingDirectory::kImage, blockToOffset(geometry, record->startBlock)};
  return {added, 0};
}

std::string PendingPath::pathOf(std::string_view name) const {
  std::string path;
  for (std::size_t i = 1; i < names.size(); ++i) path.append(names[i]).append("/");
  return path.append(name);
}

std::optional<PendingEntry> PendingView::findInImage(std::int32_t directory,
                                                     std::string_view name) {
  // The first record of the name that no change touched, and the first one
  // a change renamed to it: whichever lies first.
  std::optional<std::int32_t> found;
  for (const std::int32_t position : names_.find(image_, geometry_, directory, name)) {
    if (!changes_.fates().contains(position)) {
      found = position;
      break;
    }
  }
  for (const auto& [position, fate] : changes_.fates()) {
    if (fate.directory == directory && !fate.erased && fate.name == name &&
        (!found || position < *found)) {
      found = position;
    }
  }
  if (!found) return std::nullopt;
  WindowedReader reader(image_);
  auto record = recordAt(reader, geometry_, *found);
  if (!record) return std::nullopt;
  PendingEntry entry;
  entry.directory = isDirectory(reader, geometry_, *record);
  entry.record = std::move(record);
  entry.name = std::string(name);
  entry.holder = {PendingDirectory::kImage, directory};
  return entry;
}

std::optional<PendingEntry> PendingView::find(const PendingDirectory& directory,
                                              std::string_view name) {
  if (directory.inImage()) {
    if (auto entry = findInImage(directory.offset, name)) return entry;
  }
  const std::vector<AddedEntry>& added = changes_.added();
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (added[i].parent == directory && !added[i].erased && added[i].name == name) {
      return PendingEntry{std::nullopt, i, added[i].name, added[i].directory, directory};
    }
  }
  return std::nullopt;
}

std::optional<PendingEntry> PendingView::findLocal(const PendingDirectory& directory,
                                                   std::string_view local) {
  if (localName(local) == local) {
    if (auto exact = find(directory, local)) return exact;
  }
  const auto name = entryNameOf(local);
  return name ? find(directory, *name) : std::nullopt;
}

std::optional<PendingPath> PendingView::resolveLocal(const std::vector<Level>& levels,
                                                     const std::vector<std::string>& locals) {
  PendingPath target = pathOfLevels(levels);
  for (const std::string& local : locals) {
    const auto entry = findLocal(target.directories.back(), local);
    if (!entry || !entry->directory) return std::nullopt;
    target.directories.push_back(entry->contents(geometry_));
    target.names.push_back(entry->name);
  }
  return target;
}

std::optional<PendingPath> PendingView::resolve(const std::vector<Level>& levels,
                                                std::string_view path, bool lastIsEntry) {
  PendingPath target = pathOfLevels(levels);
  if (lastIsEntry) {
    if (auto whole = find(target.directories.back(), path)) {
      target.entry = std::move(whole);
      return target;
    }
  }
  if (path.starts_with('/')) {
    target.directories.resize(1);
    target.names.resize(1);
  }
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    path = last ? std::string_view() : path.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (target.directories.size() == 1) return std::nullopt;
      target.directories.pop_back();
      target.names.pop_back();
      continue;
    }
    auto entry = find(target.directories.back(), component);
    if (!entry) return std::nullopt;
    if (last && lastIsEntry) {
      target.entry = std::move(entry);
    } else {
      if (!entry->directory) return std::nullopt;
      target.directories.push_back(entry->contents(geometry_));
      target.names.push_back(entry->name);
    }
  }
  return target;
}

}  // namespace discshell
