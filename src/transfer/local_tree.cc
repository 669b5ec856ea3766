#include "transfer/local_tree.h"

#include <algorithm>
#include <functional>

namespace discshell {
namespace {

// A deep tree would hold one open directory per level; past this many
// levels only every kStride-th level and the last kRecent stay open, and a
// closed level is opened again from the nearest open one above it.
constexpr std::size_t kRecent = 32;
constexpr std::size_t kStride = 32;

}  // namespace

LocalTree::LocalTree(platform::Directory top) { levels_.push_back({"", std::move(top)}); }

bool LocalTree::enter(std::string_view name, bool create, platform::FileKind& found) {
  const platform::Directory* here = current();
  if (here == nullptr) {
    found = platform::FileKind::kOther;
    return false;
  }
  auto next = here->enter(name, create, found);
  if (!next) return false;
  levels_.push_back({std::string(name), std::move(next)});
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

bool FirstNames::first(std::string_view name) {
  // 0 marks an empty slot, so no name may hash to it.
  const std::uint64_t key = std::max<std::uint64_t>(std::hash<std::string_view>{}(name), 1);
  Level& level = levels_.back();
  const auto home = [&level](std::uint64_t hash) {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 32) &
           (level.slots.size() - 1);
  };
  if (2 * (level.count + 1) > level.slots.size()) {
    std::vector<std::uint64_t> old(level.slots.empty() ? 16 : 2 * level.slots.size(), 0);
    old.swap(level.slots);
    for (const std::uint64_t kept : old) {
      if (kept == 0) continue;
      std::size_t i = home(kept);
      while (level.slots[i] != 0) i = (i + 1) & (level.slots.size() - 1);
      level.slots[i] = kept;
    }
  }
  std::size_t i = home(key);
  for (; level.slots[i] != 0; i = (i + 1) & (level.slots.size() - 1)) {
    if (level.slots[i] == key) return false;
  }
  level.slots[i] = key;
  ++level.count;
  return true;
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
