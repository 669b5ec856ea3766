#include "local/local_name_index.h"

#include <algorithm>
#include <array>

#include "local/local_name.h"
#include "volume/layout.h"

namespace discshell {
namespace {

// The name of the entry whose record lies at `recordPosition`, as a walk
// reads it; no value when it cannot be read.
std::optional<std::string> nameAt(const ByteSource& image, std::int32_t recordPosition) {
  std::array<unsigned char, layout::kNameFieldSize> field{};
  if (!readExact(image, addWrapped(recordPosition, layout::kNameField), field)) {
    return std::nullopt;
  }
  const auto end = std::find(field.begin(), field.begin() + layout::kNameMaxLength, 0);
  return std::string(field.begin(), end);
}

std::string localKey(std::string_view entryName, bool foldsCase) {
  return nameKey(localName(entryName), foldsCase);
}

}  // namespace

std::string nameKey(std::string_view local, bool foldsCase) {
  return foldsCase ? platform::foldCase(local) : std::string(local);
}

std::string takenNameMessage(std::string_view name, std::string_view earlier) {
  if (name == earlier) return "Duplicate name; not extracted.\n";
  return "its name is the same file as " + localName(earlier) + " here; not extracted.\n";
}

FirstNames::FirstNames(const ByteSource& image, const VolumeGeometry& geometry,
                       std::uint32_t hashBits)
    : image_(image), geometry_(geometry), hashBits_(hashBits) {}

void FirstNames::enter(std::int32_t directoryOffset, bool foldsCase) {
  // A deque grows without copying: 4 bytes a name at its peak. The walk
  // here is not limited to any byte count, so it meets every entry a tree
  // walk of the directory meets, limited or not.
  std::deque<std::uint32_t> hashes;
  WindowedReader reader(image_);
  WalkState walk = beginWalk(reader, directoryOffset);
  while (const auto entry = nextEntry(reader, geometry_, walk)) {
    hashes.push_back(hashName(localKey(entry->name, foldsCase)) & hashBits_);
  }
  std::sort(hashes.begin(), hashes.end());
  Level level;
  level.foldsCase = foldsCase;
  for (std::size_t i = 1; i < hashes.size(); ++i) {
    if (hashes[i] == hashes[i - 1] &&
        (level.suspects.empty() || level.suspects.back().hash != hashes[i])) {
      level.suspects.push_back({hashes[i], kNotMet});
    }
  }
  level.suspects.shrink_to_fit();
  levels_.push_back(std::move(level));
}

void FirstNames::leave() {
  if (levels_.size() > 1) levels_.pop_back();
}

std::optional<std::string> FirstNames::earlier(const DirectoryEntry& entry,
                                               std::string_view local) {
  Level& level = levels_.back();
  const std::string key = nameKey(local, level.foldsCase);
  const std::uint32_t hash = hashName(key) & hashBits_;
  const auto suspect =
      std::lower_bound(level.suspects.begin(), level.suspects.end(), hash,
                       [](const Suspect& s, std::uint32_t h) { return s.hash < h; });
  // A hash no other entry of the directory has: no other entry has the key.
  if (suspect == level.suspects.end() || suspect->hash != hash) return std::nullopt;
  if (suspect->first == kNotMet) {
    suspect->first = entry.recordPosition;
    return std::nullopt;
  }
  // An earlier entry of the same hash: the first one of each key met is kept.
  const auto sameKey = [&](std::int32_t record) -> std::optional<std::string> {
    auto name = nameAt(image_, record);
    if (name && localKey(*name, level.foldsCase) == key) return name;
    return std::nullopt;
  };
  if (auto name = sameKey(suspect->first)) return name;
  for (const Suspect& other : level.others) {
    if (other.hash != hash) continue;
    if (auto name = sameKey(other.first)) return name;
  }
  level.others.push_back({hash, entry.recordPosition});
  return std::nullopt;
}

DirectoryNameIndex::DirectoryNameIndex(const ByteSource& image, const VolumeGeometry& geometry,
                                       std::int32_t directory, bool foldsCase, const Room& room,
                                       std::uint32_t hashBits)
    : directory_(directory), foldsCase_(foldsCase), hashBits_(hashBits) {
  // Records lie in walk order at rising positions, so that sorting by hash
  // and then by position keeps each hash's records in walk order.
  WindowedReader reader(image);
  WalkState walk = beginWalk(reader, directory);
  while (const auto entry = nextEntry(reader, geometry, walk)) {
    keys_.push_back(std::uint64_t{hashOf(entry->name)} << 32 |
                    static_cast<std::uint32_t>(entry->recordPosition));
    if (room && !room(bytes())) {
      keys_.clear();
      keys_.shrink_to_fit();
      return;
    }
  }
  std::sort(keys_.begin(), keys_.end());
  keys_.shrink_to_fit();
  complete_ = true;
}

std::size_t DirectoryNameIndex::bytes() const {
  return sizeof(*this) + keys_.size() * sizeof(std::uint64_t);
}

std::uint32_t DirectoryNameIndex::hashOf(std::string_view entryName) const {
  return hashName(localKey(entryName, foldsCase_)) & hashBits_;
}

template <typename Visit>
void DirectoryNameIndex::candidates(std::uint32_t hash, Visit visit) const {
  const std::uint64_t first = std::uint64_t{hash} << 32;
  for (auto key = std::lower_bound(keys_.begin(), keys_.end(), first);
       key != keys_.end() && (*key >> 32) == hash; ++key) {
    if (!visit(static_cast<std::int32_t>(static_cast<std::uint32_t>(*key)))) return;
  }
}

std::optional<std::int32_t> DirectoryNameIndex::find(const ByteSource& image,
                                                     std::string_view local) const {
  const std::string key = nameKey(local, foldsCase_);
  std::optional<std::int32_t> found;
  candidates(hashName(key) & hashBits_, [&](std::int32_t record) {
    const auto name = nameAt(image, record);
    if (name && localKey(*name, foldsCase_) == key) found = record;
    return !found;
  });
  return found;
}

bool DirectoryNameIndex::isFirst(const ByteSource& image, const DirectoryEntry& entry) const {
  const std::string key = localKey(entry.name, foldsCase_);
  bool first = true;
  candidates(hashName(key) & hashBits_, [&](std::int32_t record) {
    // The first record of the hash, or an earlier one of another key.
    if (record >= entry.recordPosition) return false;
    const auto name = nameAt(image, record);
    if (name && localKey(*name, foldsCase_) == key) first = false;
    return first;
  });
  return first;
}

std::vector<std::int32_t> DirectoryNameIndex::withLocalName(const ByteSource& image,
                                                            std::string_view local) const {
  const std::string key = nameKey(local, foldsCase_);
  std::vector<std::int32_t> records;
  candidates(hashName(key) & hashBits_, [&](std::int32_t record) {
    const auto name = nameAt(image, record);
    if (name && localKey(*name, foldsCase_) == key) records.push_back(record);
    return true;
  });
  return records;
}

std::vector<std::int32_t> DirectoryNameIndex::named(const ByteSource& image,
                                                    std::string_view name) const {
  std::vector<std::int32_t> records;
  candidates(hashOf(name), [&](std::int32_t record) {
    if (nameAt(image, record) == name) records.push_back(record);
    return true;
  });
  return records;
}

const DirectoryNameIndex* RecentNameIndexes::of(const ByteSource& image,
                                                const VolumeGeometry& geometry,
                                                std::int32_t directory, bool foldsCase) {
  const auto same = [&](const DirectoryNameIndex& index) {
    return index.directory() == directory && index.foldsCase() == foldsCase;
  };
  if (const auto kept = std::find_if(kept_.begin(), kept_.end(), same); kept != kept_.end()) {
    kept_.splice(kept_.begin(), kept_, kept);
    return &kept_.front();
  }
  const std::pair<std::int32_t, bool> which{directory, foldsCase};
  if (std::find(tooLarge_.begin(), tooLarge_.end(), which) != tooLarge_.end()) return nullptr;
  // Older indexes make room as this one grows, so that the bound holds
  // while it is built; one that passes the bound by itself is not kept.
  DirectoryNameIndex index(image, geometry, directory, foldsCase, [&](std::size_t grown) {
    while (!kept_.empty() && bytes_ + grown > byteLimit_) {
      bytes_ -= kept_.back().bytes();
      kept_.pop_back();
    }
    return grown <= byteLimit_;
  });
  if (!index.complete()) {
    constexpr std::size_t kTooLargeKept = 16;
    if (tooLarge_.size() == kTooLargeKept) tooLarge_.erase(tooLarge_.begin());
    tooLarge_.push_back(which);
    return nullptr;
  }
  bytes_ += index.bytes();
  kept_.push_front(std::move(index));
  return &kept_.front();
}

void RecentNameIndexes::clear() {
  kept_.clear();
  tooLarge_.clear();
  bytes_ = 0;
}

}  // namespace discshell
