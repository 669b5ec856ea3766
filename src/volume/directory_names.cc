#include "volume/directory_names.h"

#include <bit>

namespace discshell {
namespace {

// About this many keys share a run of the table, looked through one by one.
constexpr std::size_t kKeysPerRun = 8;

// The hashes that occur more than once among `hashes`, sorted: one pass
// puts them in groups by their top 16 bits, as even hashes spread them, and
// each small group is then sorted, which is faster than sorting the whole.
std::vector<std::uint32_t> repeatedHashes(const std::deque<std::uint32_t>& hashes) {
  constexpr int kGroupBits = 16;
  std::vector<std::uint32_t> starts((std::size_t{1} << kGroupBits) + 1, 0);
  for (const std::uint32_t hash : hashes) ++starts[(hash >> kGroupBits) + 1];
  for (std::size_t group = 1; group < starts.size(); ++group) starts[group] += starts[group - 1];
  std::vector<std::uint32_t> grouped(hashes.size());
  std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
  for (const std::uint32_t hash : hashes) grouped[next[hash >> kGroupBits]++] = hash;
  std::vector<std::uint32_t> repeated;
  for (std::size_t group = 0; group + 1 < starts.size(); ++group) {
    const auto first = grouped.begin() + starts[group];
    const auto last = grouped.begin() + starts[group + 1];
    std::sort(first, last);
    for (auto hash = first; hash + 1 < last; ++hash) {
      if (hash[1] == *hash && (repeated.empty() || repeated.back() != *hash)) {
        repeated.push_back(*hash);
      }
    }
  }
  return repeated;
}

// Sorts `keys` in place: one pass puts each key in its group of the top
// bits, one move per key, and each group is then sorted, which is faster
// than sorting the whole through a deque's steps.
void sortKeys(std::deque<std::uint64_t>& keys) {
  constexpr int kGroupBits = 12;
  if (keys.size() < (std::size_t{1} << kGroupBits)) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  const auto groupOf = [](std::uint64_t key) {
    return static_cast<std::size_t>(key >> (64 - kGroupBits));
  };
  std::vector<std::size_t> starts((std::size_t{1} << kGroupBits) + 1, 0);
  for (const std::uint64_t key : keys) ++starts[groupOf(key) + 1];
  for (std::size_t group = 1; group < starts.size(); ++group) starts[group] += starts[group - 1];
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t group = 0; group + 1 < starts.size(); ++group) {
    while (next[group] < starts[group + 1]) {
      std::uint64_t key = keys[next[group]];
      // Each key displaced goes to its own group, until one belongs here.
      for (std::size_t to = groupOf(key); to != group; to = groupOf(key)) {
        std::swap(key, keys[next[to]++]);
      }
      keys[next[group]++] = key;
    }
  }
  // Each group is sorted in a contiguous copy, which is faster than in place.
  std::vector<std::uint64_t> sorted;
  for (std::size_t group = 0; group + 1 < starts.size(); ++group) {
    const auto first = keys.begin() + static_cast<std::ptrdiff_t>(starts[group]);
    const auto last = keys.begin() + static_cast<std::ptrdiff_t>(starts[group + 1]);
    sorted.assign(first, last);
    std::sort(sorted.begin(), sorted.end());
    std::copy(sorted.begin(), sorted.end(), first);
  }
}

std::uint32_t hashOf(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
std::int32_t recordOf(std::uint64_t key) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
}

}  // namespace

DirectoryNames::DirectoryNames(const ByteSource& image, const VolumeGeometry& geometry,
                               std::int32_t offset, std::uint32_t hashBits)
    : geometry_(geometry), hashBits_(hashBits) {
  // A deque grows without copying what it holds, so the peak is the keys.
  WindowedReader reader(image);
  WalkState walk = beginWalk(reader, offset);
  while (const auto entry = nextEntryName(reader, geometry, walk)) {
    keys_.push_back(std::uint64_t{hash(entry->name())} << 32 |
                    static_cast<std::uint32_t>(entry->recordPosition));
  }
  sortKeys(keys_);
  for (std::size_t slot = 1; slot < keys_.size(); ++slot) {
    const std::uint32_t repeated = hashOf(keys_[slot]);
    if (hashOf(keys_[slot - 1]) == repeated &&
        (repeatedHashes_.empty() || repeatedHashes_.back() != repeated)) {
      repeatedHashes_.push_back(repeated);
      repeatedBits_[repeated & kBitMask] = true;
    }
  }
  runBits_ = static_cast<int>(std::bit_width(keys_.size() / kKeysPerRun));
  runStarts_.assign((std::size_t{1} << runBits_) + 1, 0);
  std::size_t slot = 0;
  for (std::size_t run = 0; run < runStarts_.size(); ++run) {
    while (slot < keys_.size() && runOf(hashOf(keys_[slot])) < run) ++slot;
    runStarts_[run] = static_cast<std::uint32_t>(slot);
  }
  matched_.assign(keys_.size(), false);
  taken_.assign(keys_.size(), false);
}

std::size_t DirectoryNames::runOf(std::uint32_t hash) const {
  return static_cast<std::size_t>((std::uint64_t{hash} << runBits_) >> 32);
}

std::pair<std::size_t, std::size_t> DirectoryNames::slotsOf(std::uint32_t hash) const {
  const std::size_t run = runOf(hash);
  std::size_t first = runStarts_[run];
  const std::size_t end = runStarts_[run + 1];
  while (first < end && hashOf(keys_[first]) < hash) ++first;
  std::size_t last = first;
  while (last < end && hashOf(keys_[last]) == hash) ++last;
  return {first, last};
}

std::optional<DirectoryNames::Found> DirectoryNames::first(WindowedReader& reader,
                                                           std::string_view name) const {
  const auto [first, last] = slotsOf(hash(name));
  // Within a hash the keys go in the order of their records, which is the
  // walk's: the first that bears the name is the directory's first.
  for (std::size_t slot = first; slot < last; ++slot) {
    auto entry = recordAt(reader, geometry_, recordOf(keys_[slot]));
    if (entry && entry->name == name) return Found{slot, std::move(*entry)};
  }
  return std::nullopt;
}

std::optional<std::size_t> DirectoryNames::slotOf(std::string_view name,
                                                  std::int32_t recordPosition) const {
  const auto [first, last] = slotsOf(hash(name));
  for (std::size_t slot = first; slot < last; ++slot) {
    if (recordOf(keys_[slot]) == recordPosition) return slot;
  }
  return std::nullopt;
}

LaterNames::LaterNames(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t offset,
                       std::uint32_t hashBits)
    : geometry_(geometry), hashBits_(hashBits) {
  std::deque<std::uint32_t> hashes;
  WindowedReader reader(image);
  WalkState walk = beginWalk(reader, offset);
  while (const auto entry = nextEntryName(reader, geometry, walk)) {
    hashes.push_back(hashName(entry->name()) & hashBits_);
  }
  walkEnd_ = walk.end;
  endPosition_ = walk.position;
  for (const std::uint32_t hash : repeatedHashes(hashes)) {
    suspects_.push_back({hash, kNotMet});
    suspectBits_[hash & kBitMask] = true;
  }
}

bool LaterNames::isLater(WindowedReader& reader, std::string_view name, std::int32_t recordPosition,
                         std::uint32_t nameHash) {
  const std::uint32_t hash = nameHash & hashBits_;
  if (!suspectBits_[hash & kBitMask]) return false;
  const auto suspect =
      std::lower_bound(suspects_.begin(), suspects_.end(), hash,
                       [](const Suspect& s, std::uint32_t h) { return s.hash < h; });
  if (suspect == suspects_.end() || suspect->hash != hash) return false;
  if (suspect->first == kNotMet) suspect->first = recordPosition;
  if (suspect->first == recordPosition) return false;
  if (named(reader, suspect->first, name)) return true;
  for (const Suspect& other : others_) {
    if (other.hash != hash) continue;
    if (other.first == recordPosition) return false;
    if (named(reader, other.first, name)) return true;
  }
  others_.push_back({hash, recordPosition});
  return false;
}

bool LaterNames::named(WindowedReader& reader, std::int32_t record, std::string_view name) const {
  const auto entry = recordAt(reader, geometry_, record);
  return entry && entry->name == name;
}

}  // namespace discshell
