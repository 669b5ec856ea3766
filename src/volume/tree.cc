#include "volume/tree.h"

#include <bit>
#include <limits>
#include <unordered_map>

namespace discshell {
namespace {

// A map from byte positions to small non-zero numbers by open addressing:
// 8 bytes a slot and no node allocations, so a walk through 100,000
// directories stays small. A value of 0 marks an empty slot.
class PositionMap {
 public:
  /// The value kept for `position`, or 0 when there is none.
  [[nodiscard]] std::uint32_t find(std::int32_t position) const {
    if (slots_.empty()) return 0;
    for (std::size_t i = home(position);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].value == 0 || slots_[i].position == position) return slots_[i].value;
    }
  }
  /// Keeps `value` (not 0) for `position`, replacing what was kept.
  void insert(std::int32_t position, std::uint32_t value) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    std::size_t i = home(position);
    while (slots_[i].value != 0 && slots_[i].position != position) {
      i = (i + 1) & (slots_.size() - 1);
    }
    if (slots_[i].value == 0) ++count_;
    slots_[i] = {position, value};
  }

 private:
  struct Slot {
    std::int32_t position = 0;
    std::uint32_t value = 0;
  };
  [[nodiscard]] std::size_t home(std::int32_t position) const {
    const int bits = std::countr_zero(slots_.size());
    const std::uint64_t key = static_cast<std::uint32_t>(position);
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 32 : 2 * slots_.size());
    old.swap(slots_);
    count_ = 0;
    for (const Slot& slot : old) {
      if (slot.value != 0) insert(slot.position, slot.value);
    }
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// Entries whose data is no directory without a walk: at block 0, or with a
// byte count that is not a positive multiple of the block size.
bool cannotBeDirectory(const VolumeGeometry& geometry, const DirectoryEntry& entry) {
  return entry.startBlock == 0 || geometry.blockSize <= 0 || entry.byteCount <= 0 ||
         entry.byteCount % geometry.blockSize != 0;
}

// The one thing an entry can hold that keeps its directory from being one:
// without a name it cannot be looked up, listed or extracted, and such an
// entry is what a walk meets in data that is no directory. Bad values (a
// negative byte count, a start block outside the image) are the entry's
// own damage, reported with it.
bool breaksDirectory(const DirectoryEntry& entry) { return entry.name.empty(); }

// Whether a stretch whose walk needs its first `leastByteCount` bytes is a
// directory of `byteCount` bytes: a field ending exactly at its end is inside.
bool holdsWalk(std::int32_t byteCount, std::uint32_t leastByteCount) {
  return static_cast<std::uint32_t>(byteCount) >= leastByteCount;
}

// The walk of a stretch of the image as a directory, from its start and not
// limited to any byte count. A walk limited to the first c bytes reads the
// same fields as this one as long as each lies below start + c, and fails at
// the first that does not; so this one walk, taken only as far as the
// largest byte count asked, answers every byte count at once.
class StretchWalk {
 public:
  /// No byte count reaches this.
  static constexpr std::uint32_t kNever = std::numeric_limits<std::uint32_t>::max();

  StretchWalk(WindowedReader& reader, std::int32_t start)
      : start_(start), walk_(beginWalk(reader, start, {start, kUnlimited})) {}

  /// Walks on until the walk has ended or has read beyond `byteCount` bytes.
  void extend(WindowedReader& reader, const VolumeGeometry& geometry, std::int32_t byteCount) {
    while (!ended() && walk_.furthestRead <= std::int64_t{start_} + byteCount) {
      const auto child = nextEntry(reader, geometry, walk_);
      if (!child) break;
      ++entries_;
      if (breaksDirectory(*child)) badEntry_ = true;
    }
  }
  [[nodiscard]] bool ended() const { return badEntry_ || walk_.end != WalkEnd::kRunning; }
  /// Once ended: the least byte count at which the stretch reads as a
  /// directory (its walk reached a flags word of 0 within it, every entry
  /// named, and it met an entry or its first block said it was the last), or
  /// kNever.
  [[nodiscard]] std::uint32_t leastByteCount() const {
    const std::int64_t extent = walk_.furthestRead - start_;
    if (badEntry_ || walk_.end != WalkEnd::kEndMarker ||
        (entries_ == 0 && !walk_.firstBlockIsLast) ||
        extent > std::numeric_limits<std::int32_t>::max()) {
      return kNever;
    }
    return static_cast<std::uint32_t>(extent);
  }
  /// Whether the stretch is a directory of `byteCount` bytes, as far as the
  /// walk has gone: one not yet ended has read beyond that many.
  [[nodiscard]] bool isDirectory(std::int32_t byteCount) const {
    return ended() && holdsWalk(byteCount, leastByteCount());
  }
  [[nodiscard]] std::uint32_t entries() const { return entries_; }

 private:
  static constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max();
  std::int32_t start_;
  WalkState walk_;
  std::uint32_t entries_ = 0;
  bool badEntry_ = false;
};

// isDirectory for every entry of a tree walk, with what each stretch's walk
// showed remembered by its start: entries that share a start cost one walk
// together, whatever their byte counts. Only walks that cost something are
// remembered (a directory, or a walk of many entries), so memory grows with
// the directories, not with the files.
class DirectoryProbe {
 public:
  DirectoryProbe(const ByteSource& image, const VolumeGeometry& geometry)
      : reader_(image, 4096), geometry_(geometry) {}
  bool operator()(const DirectoryEntry& entry) {
    if (cannotBeDirectory(geometry_, entry)) return false;
    const std::int32_t start = blockToOffset(geometry_, entry.startBlock);
    if (const std::uint32_t least = ended_.find(start); least != 0) {
      return holdsWalk(entry.byteCount, least);
    }
    const auto paused = paused_.find(start);
    StretchWalk walk = paused != paused_.end() ? paused->second : StretchWalk(reader_, start);
    walk.extend(reader_, geometry_, entry.byteCount);
    const bool directory = walk.isDirectory(entry.byteCount);
    const bool costly = walk.entries() >= kFewEntries;
    if (walk.ended() && (costly || walk.leastByteCount() != StretchWalk::kNever)) {
      ended_.insert(start, walk.leastByteCount());
    } else if (!walk.ended() && costly) {
      paused_.insert_or_assign(start, walk);
    }
    if (walk.ended() && paused != paused_.end()) paused_.erase(paused);
    return directory;
  }

 private:
  // A walk that ends or pauses within this many entries is cheaper to take
  // again than to remember.
  static constexpr std::uint32_t kFewEntries = 16;
  WindowedReader reader_;
  const VolumeGeometry& geometry_;
  PositionMap ended_;  ///< the least byte count of each ended walk (never 0)
  std::unordered_map<std::int32_t, StretchWalk> paused_;
};

struct Frame {
  WalkState walk;
  std::size_t pathLength;  ///< of the path of its entries' parent, "/" included
};

}  // namespace

DirectoryReading readAsDirectory(WindowedReader& reader, const VolumeGeometry& geometry,
                                 const DirectoryEntry& entry, const EntryVisitor& visit) {
  DirectoryReading reading;
  if (cannotBeDirectory(geometry, entry)) return reading;
  const std::int32_t start = blockToOffset(geometry, entry.startBlock);
  WalkState walk = beginWalk(reader, start, {start, std::int64_t{start} + entry.byteCount});
  while (const auto child = nextEntry(reader, geometry, walk)) {
    if (breaksDirectory(*child)) {
      reading.fault = DirectoryFault::kNamelessEntry;
      return reading;
    }
    ++reading.entries;
    if (visit && visit(*child) == WalkStep::kStop) {
      reading.fault = DirectoryFault::kStopped;
      return reading;
    }
  }
  switch (walk.end) {
    case WalkEnd::kEndMarker:
      reading.fault = reading.entries == 0 && !walk.firstBlockIsLast ? DirectoryFault::kNoEntries
                                                                     : DirectoryFault::kNone;
      break;
    case WalkEnd::kNoProgress:
      reading.fault = DirectoryFault::kNoProgress;
      break;
    default:
      reading.fault = DirectoryFault::kNoEndMarker;
      break;
  }
  return reading;
}

bool isDirectory(WindowedReader& reader, const VolumeGeometry& geometry,
                 const DirectoryEntry& entry) {
  return readAsDirectory(reader, geometry, entry).fault == DirectoryFault::kNone;
}

std::optional<PathTarget> resolvePath(WindowedReader& reader, const VolumeGeometry& geometry,
                                      const std::vector<Level>& levels, std::string_view path,
                                      PathEnd end) {
  PathTarget target;
  target.keep = levels.size();
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
  const bool dots = path == "." || path == "..";
  if (path.find('/') == std::string_view::npos && !(dots && end == PathEnd::kEntry)) {
    return std::nullopt;
  }
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
      target.namedDirectory.reset();
    } else {
      enter(*found);
      target.namedDirectory = std::move(found);
    }
  }
  return target;
}

struct TreeBounds::State {
  State(const ByteSource& image, const VolumeGeometry& geometry) : probe(image, geometry) {}
  DirectoryProbe probe;
  PositionMap entered;  ///< 1 for each directory entered
};

TreeBounds::TreeBounds(const ByteSource& image, const VolumeGeometry& geometry)
    : state_(std::make_unique<State>(image, geometry)) {}

TreeBounds::~TreeBounds() = default;

bool TreeBounds::isDirectory(const DirectoryEntry& entry) { return state_->probe(entry); }

bool TreeBounds::enter(std::int32_t offset) {
  if (entered(offset)) return false;
  state_->entered.insert(offset, 1);
  return true;
}

bool TreeBounds::entered(std::int32_t offset) const { return state_->entered.find(offset) != 0; }

void walkTree(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t directoryOffset,
              TreeVisitor& visitor, const std::string& prefix) {
  TreeBounds bounds(image, geometry);
  walkTree(image, geometry, directoryOffset, visitor, bounds, prefix);
}

void walkTree(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t directoryOffset,
              TreeVisitor& visitor, TreeBounds& bounds, const std::string& prefix) {
  WindowedReader reader(image);
  static_cast<void>(bounds.enter(directoryOffset));
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
    const bool directory = bounds.isDirectory(*entry);
    const std::int32_t offset = blockToOffset(geometry, entry->startBlock);
    if (directory && bounds.entered(offset)) {
      visitor.revisit(*entry, path);
    } else if (visitor.visit(*entry, directory, path) && directory) {
      static_cast<void>(bounds.enter(offset));
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
