#include "edit/pending_view.h"

#include <algorithm>
#include <array>

#include "local/local_name.h"
#include "volume/layout.h"

namespace discshell {
namespace {

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

void PendingNames::forgetIfChanged(const ImageFile& image) {
  const auto status = image.file().status();
  if (!status || !imageStatus_ || !status->unchangedSince(*imageStatus_)) {
    indexes_.clear();
    verdicts_.clear();
  }
  imageStatus_ = status;
}

const DirectoryNameIndex* PendingNames::of(const ImageFile& image, const VolumeGeometry& geometry,
                                           std::int32_t directory) {
  forgetIfChanged(image);
  // i's local names are told apart exactly, as a folder that keeps case does.
  return indexes_.of(image, geometry, directory, false);
}

bool PendingNames::isDirectory(const ImageFile& image, const VolumeGeometry& geometry,
                               const DirectoryEntry& entry) {
  forgetIfChanged(image);
  const auto same = [&](const Verdict& verdict) {
    return verdict.startBlock == entry.startBlock && verdict.byteCount == entry.byteCount;
  };
  if (const auto kept = std::find_if(verdicts_.begin(), verdicts_.end(), same);
      kept != verdicts_.end()) {
    return kept->directory;
  }
  WindowedReader reader(image);
  const bool directory = discshell::isDirectory(reader, geometry, entry);
  if (verdicts_.size() == kVerdicts) verdicts_.erase(verdicts_.begin());
  verdicts_.push_back({entry.startBlock, entry.byteCount, directory});
  return directory;
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

// The records of `directory` whose names `matches` takes, in walk order, by
// a walk: for a directory too large for an index.
template <typename Matches>
std::vector<std::int32_t> recordsWhere(const ImageFile& image, const VolumeGeometry& geometry,
                                       std::int32_t directory, Matches matches) {
  std::vector<std::int32_t> records;
  WindowedReader reader(image);
  WalkState walk = beginWalk(reader, directory);
  while (const auto entry = nextEntry(reader, geometry, walk)) {
    if (matches(entry->name)) records.push_back(entry->recordPosition);
  }
  return records;
}

std::optional<PendingEntry> PendingView::entryAt(std::int32_t directory, std::int32_t record,
                                                 std::string name) {
  WindowedReader reader(image_);
  auto found = recordAt(reader, geometry_, record);
  if (!found) return std::nullopt;
  PendingEntry entry;
  entry.directory = names_.isDirectory(image_, geometry_, *found);
  entry.record = std::move(found);
  entry.name = std::move(name);
  entry.holder = {PendingDirectory::kImage, directory};
  return entry;
}

std::optional<PendingEntry> PendingView::findInImage(std::int32_t directory,
                                                     std::string_view name) {
  // The first record of the name that no change touched, and the first one
  // a change renamed to it: whichever lies first.
  const DirectoryNameIndex* index = names_.of(image_, geometry_, directory);
  const std::vector<std::int32_t> named =
      index != nullptr
          ? index->named(image_, name)
          : recordsWhere(image_, geometry_, directory,
                         [&](std::string_view entryName) { return entryName == name; });
  std::optional<std::int32_t> found;
  for (const std::int32_t position : named) {
    if (!changes_.changedRecords().contains(position)) {
      found = position;
      break;
    }
  }
  for (const auto& [position, record] : changes_.changedRecords()) {
    if (record.directory == directory && !record.erased && record.name == name &&
        (!found || position < *found)) {
      found = position;
    }
  }
  if (!found) return std::nullopt;
  return entryAt(directory, *found, std::string(name));
}

std::optional<PendingEntry> PendingView::findLocalInImage(std::int32_t directory,
                                                          std::string_view local) {
  // As findInImage, by the local name each record has now.
  const DirectoryNameIndex* index = names_.of(image_, geometry_, directory);
  const std::vector<std::int32_t> meant =
      index != nullptr ? index->withLocalName(image_, local)
                       : recordsWhere(image_, geometry_, directory, [&](std::string_view name) {
                           return localName(name) == local;
                         });
  std::optional<std::int32_t> found;
  for (const std::int32_t position : meant) {
    if (!changes_.changedRecords().contains(position)) {
      found = position;
      break;
    }
  }
  std::string name;
  for (const auto& [position, record] : changes_.changedRecords()) {
    if (record.directory == directory && !record.erased && localName(record.name) == local &&
        (!found || position < *found)) {
      found = position;
      name = record.name;
    }
  }
  if (!found) return std::nullopt;
  if (name.empty()) {
    WindowedReader reader(image_);
    const auto record = recordAt(reader, geometry_, *found);
    if (!record) return std::nullopt;
    name = record->name;
  }
  return entryAt(directory, *found, std::move(name));
}

std::optional<PendingEntry> PendingView::find(const PendingDirectory& directory,
                                              std::string_view name) {
  if (directory.inImage()) {
    if (auto entry = findInImage(directory.offset, name)) return entry;
  }
  const std::vector<AddedEntry>& added = changes_.added();
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (added[i].parent == directory && !added[i].erased && changes_.nameOf(added[i]) == name) {
      return PendingEntry{std::nullopt, i, std::string(changes_.nameOf(added[i])),
                          added[i].directory, directory};
    }
  }
  return std::nullopt;
}

std::optional<PendingEntry> PendingView::findLocal(const PendingDirectory& directory,
                                                   std::string_view local) {
  if (directory.inImage()) {
    if (auto entry = findLocalInImage(directory.offset, local)) return entry;
  }
  const std::vector<AddedEntry>& added = changes_.added();
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (added[i].parent == directory && !added[i].erased &&
        localName(changes_.nameOf(added[i])) == local) {
      return PendingEntry{std::nullopt, i, std::string(changes_.nameOf(added[i])),
                          added[i].directory, directory};
    }
  }
  return std::nullopt;
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
