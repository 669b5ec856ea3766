#include "local/local_tree.h"

#include <algorithm>
#include <array>

#include "local/local_name.h"
#include "volume/layout.h"

namespace discshell {
namespace {

// A deep tree would hold one open directory per level; past this many
// levels only every kStride-th level and the last kRecent stay open, and a
// closed level is opened again from the nearest open one above it.
constexpr std::size_t kRecent = 32;
constexpr std::size_t kStride = 32;

}  // namespace

LocalTree::LocalTree(platform::Directory top) { levels_.push_back({"", std::move(top), 0}); }

bool LocalTree::enter(std::string_view name, bool create, platform::FileKind& found) {
  const platform::Directory* here = current();
  if (here == nullptr) {
    found = platform::FileKind::kOther;
    return false;
  }
  auto next = here->enter(name, create, found);
  if (!next) return false;
  levels_.push_back({std::string(name), std::move(next), pathLength(name) + 1});
  closeOldLevel();
  return true;
}

void LocalTree::leave() {
  if (levels_.size() > 1) levels_.pop_back();
}

void LocalTree::closeOldLevel() {
  if (levels_.size() <= kRecent + 1) return;
  const std::size_t old = levels_.size() - 1 - kRecent;
  if (old % kStride != 0) levels_[old].directory.reset();
}

const platform::Directory* LocalTree::current() {
  std::size_t open = levels_.size() - 1;
  while (!levels_[open].directory) --open;  // the top is always open
  for (std::size_t i = open + 1; i < levels_.size(); ++i) {
    platform::FileKind found{};
    levels_[i].directory = levels_[i - 1].directory->enter(levels_[i].name, false, found);
    if (!levels_[i].directory) return nullptr;
  }
  return &*levels_.back().directory;
}

std::string takenNameMessage(std::string_view name, std::string_view earlier) {
  if (name == earlier) return "Duplicate name; not extracted.\n";
  return "its name is the same file as " + localName(earlier) + " here; not extracted.\n";
}

std::string nameKey(std::string_view local, bool foldsCase) {
  return foldsCase ? platform::foldCase(local) : std::string(local);
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
    hashes.push_back(hashName(nameKey(localName(entry->name), foldsCase)) & hashBits_);
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
  std::string name;
  if (suspect->first == kNotMet) {
    suspect->first = entry.recordPosition;
    return std::nullopt;
  }
  if (sameKey(suspect->first, key, name)) return name;
  for (const Suspect& other : level.others) {
    if (other.hash == hash && sameKey(other.first, key, name)) return name;
  }
  level.others.push_back({hash, entry.recordPosition});
  return std::nullopt;
}

// Reads the name of the entry whose record lies at `recordPosition` into
// `name`, and whether its key is `key`.
bool FirstNames::sameKey(std::int32_t recordPosition, std::string_view key,
                         std::string& name) const {
  std::array<unsigned char, layout::kNameFieldSize> field{};
  if (!readExact(image_, addWrapped(recordPosition, layout::kNameField), field)) return false;
  name.clear();
  for (std::size_t i = 0; i < layout::kNameMaxLength && field[i] != 0; ++i) {
    name.push_back(static_cast<char>(field[i]));
  }
  return nameKey(localName(name), levels_.back().foldsCase) == key;
}

std::uint32_t LocalNames::hash(std::string_view key) const { return hashName(key) & hashBits_; }

std::optional<LocalNames> LocalNames::read(const platform::Directory& folder, bool foldsCase,
                                           std::uint32_t hashBits) {
  LocalNames names;
  names.foldsCase_ = foldsCase;
  names.hashBits_ = hashBits;
  if (!folder.listNames([&](std::string_view name) {
        names.hashes_.push_back(names.hash(nameKey(name, foldsCase)));
      })) {
    return std::nullopt;
  }
  std::sort(names.hashes_.begin(), names.hashes_.end());
  names.claimed_.assign(names.hashes_.size(), false);
  if (std::adjacent_find(names.hashes_.begin(), names.hashes_.end()) == names.hashes_.end()) {
    return names;
  }
  // Names that share a hash are told apart by their keys: read them again.
  if (!folder.listNames([&](std::string_view name) {
        std::string key = nameKey(name, foldsCase);
        const std::uint32_t hash = names.hash(key);
        const auto [first, last] =
            std::equal_range(names.hashes_.begin(), names.hashes_.end(), hash);
        if (last - first > 1) names.shared_.emplace_back(hash, std::move(key));
      })) {
    return std::nullopt;
  }
  std::sort(names.shared_.begin(), names.shared_.end());
  return names;
}

std::optional<std::size_t> LocalNames::find(std::string_view local) const {
  std::string key = nameKey(local, foldsCase_);
  const std::uint32_t hash = this->hash(key);
  const auto [first, last] = std::equal_range(hashes_.begin(), hashes_.end(), hash);
  if (first == last) return std::nullopt;
  const auto slot = static_cast<std::size_t>(first - hashes_.begin());
  if (last - first == 1) return slot;
  const auto group =
      std::lower_bound(shared_.begin(), shared_.end(), std::pair{hash, std::string()});
  for (auto named = group; named != shared_.end() && named->first == hash; ++named) {
    if (named->second == key) return slot + static_cast<std::size_t>(named - group);
  }
  return std::nullopt;
}

bool LocalNames::claim(std::size_t slot) {
  if (claimed_[slot]) return false;
  claimed_[slot] = true;
  return true;
}

void LocalNames::unclaimed(const platform::Directory& folder,
                           const std::function<void(std::string_view name)>& visit) const {
  static_cast<void>(folder.listNames([&](std::string_view name) {
    const auto slot = find(name);
    if (slot && !claimed_[*slot]) visit(name);
  }));
}

std::optional<platform::File> openBelow(const platform::Directory& top, std::string_view path) {
  std::optional<platform::Directory> entered;
  const platform::Directory* here = &top;
  for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/')) {
    platform::FileKind found{};
    entered = here->enter(path.substr(0, slash), false, found);
    if (!entered) return std::nullopt;
    here = &*entered;
    path.remove_prefix(slash + 1);
  }
  return here->openFile(path);
}

}  // namespace discshell
