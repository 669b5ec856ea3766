#include "local/local_tree.h"

#include <algorithm>
#include <limits>

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

std::optional<SortedNames> SortedNames::read(const platform::Directory& folder) {
  SortedNames names;
  bool tooLong = false;
  if (!folder.listNames([&](std::string_view name) {
        tooLong = tooLong ||
                  names.bytes_.size() + name.size() >= std::numeric_limits<std::uint32_t>::max();
        if (tooLong) return;
        names.starts_.push_back(static_cast<std::uint32_t>(names.bytes_.size()));
        (names.bytes_ += name) += '\0';
      }) ||
      tooLong) {
    return std::nullopt;
  }
  std::sort(names.starts_.begin(), names.starts_.end(), [&names](std::uint32_t a, std::uint32_t b) {
    return std::string_view(names.bytes_.c_str() + a) < std::string_view(names.bytes_.c_str() + b);
  });
  return names;
}

}  // namespace discshell
