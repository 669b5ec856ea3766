#include "volume/tree.h"

#include <bit>

namespace discshell {
namespace {

// A set of 64-bit keys by open addressing: 16 bytes or less per key, and no
// node allocations, so a walk through 100,000 directories stays small.
// The key ~0 is reserved as the empty slot.
class KeySet {
 public:
  [[nodiscard]] bool contains(std::uint64_t key) const {
    if (slots_.empty()) return false;
    for (std::size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == key) return true;
      if (slots_[i] == kEmpty) return false;
    }
  }
  void insert(std::uint64_t key) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    std::size_t i = home(key);
    while (slots_[i] != kEmpty && slots_[i] != key) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i] == kEmpty) ++count_;
    slots_[i] = key;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  [[nodiscard]] std::size_t home(std::uint64_t key) const {
    const int bits = std::countr_zero(slots_.size());
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
  }
  void grow() {
    std::vector<std::uint64_t> old(slots_.empty() ? 32 : 2 * slots_.size(), kEmpty);
    old.swap(slots_);
    count_ = 0;
    for (const std::uint64_t key : old) {
      if (key != kEmpty) insert(key);
    }
  }
  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

std::uint64_t dataKey(std::int32_t position, std::int32_t byteCount) {
  return (std::uint64_t{static_cast<std::uint32_t>(position)} << 32) |
         static_cast<std::uint32_t>(byteCount);
}

// isDirectory, remembered per data stretch: a hostile directory whose many
// entries all lead to one large directory then costs one probe, not one each.
class DirectoryProbe {
 public:
  DirectoryProbe(const ByteSource& image, const VolumeGeometry& geometry)
      : reader_(image, 4096), geometry_(geometry) {}
  bool operator()(const DirectoryEntry& entry) {
    const std::uint64_t key = dataKey(blockToOffset(geometry_, entry.startBlock), entry.byteCount);
    if (directories_.contains(key)) return true;
    if (files_.contains(key)) return false;
    const bool directory = isDirectory(reader_, geometry_, entry);
    (directory ? directories_ : files_).insert(key);
    return directory;
  }

 private:
  WindowedReader reader_;
  const VolumeGeometry& geometry_;
  KeySet directories_;
  KeySet files_;
};

struct Frame {
  WalkState walk;
  std::size_t pathLength;  ///< of the path of its entries' parent, "/" included
};

}  // namespace

bool isDirectory(WindowedReader& reader, const VolumeGeometry& geometry,
                 const DirectoryEntry& entry) {
  if (entry.startBlock == 0 || geometry.blockSize <= 0 || entry.byteCount <= 0 ||
      entry.byteCount % geometry.blockSize != 0) {
    return false;
  }
  const std::int32_t start = blockToOffset(geometry, entry.startBlock);
  WalkState walk = beginWalk(reader, start, {start, std::int64_t{start} + entry.byteCount});
  bool visitedAny = false;
  while (const auto child = nextEntry(reader, geometry, walk)) {
    if (child->name.empty() || child->byteCount < 0) return false;
    visitedAny = true;
  }
  return walk.end == WalkEnd::kEndMarker && (visitedAny || walk.firstBlockIsLast);
}

std::optional<PathTarget> resolvePath(WindowedReader& reader, const VolumeGeometry& geometry,
                                      const std::vector<Level>& levels, std::string_view path,
                                      PathEnd end) {
  PathTarget target{levels.size(), {}, std::nullopt};
  const auto enter = [&](const DirectoryEntry& entry) {
    target.down.push_back({blockToOffset(geometry, entry.startBlock), entry.name});
  };
  if (auto exact = findEntry(reader, geometry, levels.back().offset, path)) {
    if (end == PathEnd::kEntry) {
      target.entry = std::move(exact);
    } else {
      enter(*exact);
    }
    return target;
  }
  if (path.find('/') == std::string_view::npos) return std::nullopt;
  if (path.front() == '/') target.keep = 1;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    const bool last = slash == std::string_view::npos;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!target.down.empty()) {
        target.down.pop_back();
      } else if (target.keep > 1) {
        --target.keep;
      } else {
        return std::nullopt;
      }
      continue;
    }
    const std::int32_t here =
        target.down.empty() ? levels[target.keep - 1].offset : target.down.back().offset;
    auto found = findEntry(reader, geometry, here, component);
    if (!found) return std::nullopt;
    if (last && end == PathEnd::kEntry) {
      target.entry = std::move(found);
    } else {
      enter(*found);
    }
  }
  return target;
}

void walkTree(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t directoryOffset,
              TreeVisitor& visitor, const std::string& prefix) {
  WindowedReader reader(image);
  DirectoryProbe isDirectoryEntry(image, geometry);
  KeySet entered;
  entered.insert(dataKey(directoryOffset, 0));
  std::string path = prefix;
  std::vector<Frame> stack{{beginWalk(reader, directoryOffset), path.size()}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    path.resize(frame.pathLength);
    const auto entry = nextEntry(reader, geometry, frame.walk);
    if (!entry) {
      stack.pop_back();
      if (!stack.empty()) visitor.leave(path.substr(0, path.size() - 1));
      continue;
    }
    path += entry->name;
    const bool directory = isDirectoryEntry(*entry);
    const std::int32_t offset = blockToOffset(geometry, entry->startBlock);
    if (directory && entered.contains(dataKey(offset, 0))) {
      visitor.revisit(*entry, path);
    } else if (visitor.visit(*entry, directory, path) && directory) {
      entered.insert(dataKey(offset, 0));
      path += '/';
      stack.push_back({beginWalk(reader, offset), path.size()});
    }
  }
}

void walkTree(const ByteSource& image, const VolumeGeometry& geometry, const DirectoryEntry& entry,
              TreeVisitor& visitor) {
  WindowedReader reader(image);
  const bool directory = isDirectory(reader, geometry, entry);
  if (visitor.visit(entry, directory, entry.name) && directory) {
    walkTree(image, geometry, blockToOffset(geometry, entry.startBlock), visitor, entry.name + "/");
    visitor.leave(entry.name);
  }
}

}  // namespace discshell
