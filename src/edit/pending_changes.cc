#include "edit/pending_changes.h"

#include <algorithm>
#include <iterator>

#include "local/local_name.h"
#include "volume/layout.h"

namespace discshell {
namespace {

std::string counted(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::vector<std::string> PendingChanges::lines() const {
  std::vector<std::string> lines;
  for (const Change& change : changes_) {
    if (!change.dropped) lines.push_back(change.path + ": " + change.what);
  }
  return lines;
}

void PendingChanges::clear() {
  changes_.clear();
  added_.clear();
  names_.clear();
  firstAdded_.clear();
  localNames_.clear();
  changedRecords_.clear();
  dropped_ = 0;
  ++revision_;
}

std::size_t PendingChanges::record(std::string path, std::string what) {
  changes_.push_back({std::move(path), std::move(what), false, std::nullopt});
  ++revision_;
  return changes_.size() - 1;
}

void PendingChanges::add(AddedEntries added, AddedLocalNames local, const std::string& path) {
  std::vector<AddedEntry>& entries = added.entries;
  if (entries.empty()) return;
  const auto first = static_cast<std::uint32_t>(added_.size());
  for (auto& [place, name] : local.others) {
    localNames_[first + static_cast<std::uint32_t>(place)] = std::move(name);
  }
  std::string what;
  if (entries.front().directory) {
    std::size_t directories = 0;
    for (std::size_t i = 1; i < entries.size(); ++i) directories += entries[i].directory ? 1U : 0U;
    what = "added, " + counted(entries.size() - 1 - directories, "file", "files") + " and " +
           counted(directories, "directory", "directories");
  } else {
    what =
        "added, " + counted(static_cast<std::size_t>(entries.front().status.size), "byte", "bytes");
  }
  const std::size_t change = record(path + (entries.front().directory ? "/" : ""), what);
  firstAdded_[first] = {change, std::move(local.first)};
  // The first i takes the scan's entries as they are: no second copy of
  // 100,000 entries while they move.
  if (added_.empty()) {
    added_ = std::move(entries);
    names_ = std::move(added.names);
    return;
  }
  const auto namesAt = static_cast<std::uint32_t>(names_.size());
  names_ += added.names;
  added_.reserve(added_.size() + entries.size());
  for (AddedEntry& entry : entries) {
    entry.nameAt += namesAt;
    added_.push_back(entry);
  }
}

std::size_t PendingChanges::changeOf(std::uint32_t index) const {
  return std::prev(firstAdded_.upper_bound(index))->second.change;
}

ChangedRecord& PendingChanges::changedRecordAt(std::int32_t position, std::int32_t directory,
                                               const std::string& name) {
  const auto [changed, made] = changedRecords_.try_emplace(position);
  if (made) changed->second = {directory, name, false, false, changes_.size(), std::nullopt};
  return changed->second;
}

void PendingChanges::eraseRecord(std::int32_t position, std::int32_t directory,
                                 const std::string& name, const std::string& path) {
  changedRecordAt(position, directory, name).erased = true;
  record(path, "erased");
}

void PendingChanges::eraseDirectoryRecord(std::int32_t position, std::int32_t directory,
                                          const std::string& name, const std::string& path,
                                          std::int32_t contents,
                                          const std::vector<std::int32_t>& inside) {
  const std::size_t dropped = dropInside(inside);
  ChangedRecord& erased = changedRecordAt(position, directory, name);
  erased.erased = true;
  erased.erasedDirectory = contents;
  record(path + "/", dropped == 0
                         ? "erased"
                         : "erased, with " + counted(dropped, "pending change", "pending changes") +
                               " inside it");
}

std::size_t PendingChanges::dropInside(const std::vector<std::int32_t>& inside) {
  const auto isInside = [&](std::int32_t offset) {
    return std::binary_search(inside.begin(), inside.end(), offset);
  };
  std::vector<bool> drop(changes_.size(), false);
  for (auto record = changedRecords_.begin(); record != changedRecords_.end();) {
    if (!isInside(record->second.directory)) {
      ++record;
      continue;
    }
    drop[record->second.change] = true;
    record = changedRecords_.erase(record);
  }
  for (AddedEntry& entry : added_) {
    if (entry.erased || !isInside(imageDirectoryOf(entry))) continue;
    entry.erased = true;
    drop[changeOf(static_cast<std::uint32_t>(&entry - added_.data()))] = true;
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < changes_.size(); ++i) {
    Change& change = changes_[i];
    const bool touchesDropped = change.added && added_[*change.added].erased &&
                                isInside(imageDirectoryOf(added_[*change.added]));
    if (change.dropped || !(drop[i] || touchesDropped)) continue;
    change.dropped = true;
    ++dropped_;
    ++count;
  }
  return count;
}

std::int32_t PendingChanges::imageDirectoryOf(const AddedEntry& entry) const {
  PendingDirectory parent = entry.parent;
  while (!parent.inImage()) parent = added_.at(parent.added).parent;
  return parent.offset;
}

bool PendingChanges::erasesDirectory(std::int32_t offset) const {
  return std::any_of(changedRecords_.begin(), changedRecords_.end(), [&](const auto& record) {
    return record.second.erased && record.second.erasedDirectory == offset;
  });
}

void PendingChanges::eraseAdded(std::uint32_t index, const std::string& path) {
  AddedEntry& entry = added_.at(index);
  entry.erased = true;
  changes_[record(path + (entry.directory ? "/" : ""), "erased")].added = index;
}

void PendingChanges::renameRecord(std::int32_t position, std::int32_t directory,
                                  const std::string& newName, const std::string& path) {
  ChangedRecord& changed = changedRecordAt(position, directory, newName);
  changed.name = newName;
  changed.renamed = true;
  record(path, "renamed to " + newName);
}

void PendingChanges::renameAdded(std::uint32_t index, const std::string& newName,
                                 const std::string& path) {
  AddedEntry& entry = added_.at(index);
  // Below the first entry, the old name was the local name.
  if (!firstAdded_.contains(index)) localNames_.try_emplace(index, nameOf(entry));
  entry.nameAt = static_cast<std::uint32_t>(names_.size());
  names_ += static_cast<char>(newName.size());
  names_ += newName;
  changes_[record(path, "renamed to " + newName)].added = index;
}

std::string PendingChanges::localPath(std::uint32_t index) const {
  std::vector<std::string_view> below;  // the local names after the kept path, last first
  auto kept = firstAdded_.find(index);
  while (kept == firstAdded_.end()) {
    const auto name = localNames_.find(index);
    below.push_back(name == localNames_.end() ? nameOf(added_.at(index))
                                              : std::string_view(name->second));
    index = added_.at(index).parent.added;
    kept = firstAdded_.find(index);
  }
  std::string path = kept->second.localPath;
  for (auto name = below.rbegin(); name != below.rend(); ++name) (path += '/') += *name;
  return path;
}

bool PendingChanges::stillAdded(std::uint32_t index) const {
  for (std::uint32_t i = index;; i = added_[i].parent.added) {
    if (added_.at(i).erased) return false;
    if (added_[i].parent.inImage()) return true;
  }
}

std::string entryNameOfLocal(std::string_view local) {
  return entryNameOf(local).value_or(std::string(local));
}

std::optional<std::string> entryNameProblem(std::string_view name) {
  if (name.size() > static_cast<std::size_t>(layout::kNameMaxLength)) {
    return "a name of more than " + std::to_string(layout::kNameMaxLength) + " bytes.\n";
  }
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return "not a name an entry can have.\n";
  }
  return std::nullopt;
}

}  // namespace discshell
