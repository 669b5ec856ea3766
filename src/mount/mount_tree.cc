#include "mount/mount_tree.h"

#include <algorithm>
#include <functional>

#include "local/local_name.h"
#include "local/local_tree.h"
#include "volume/tree.h"

namespace discshell {
namespace {

// A node's number, and the key of a directory entry: the directory whose
// walk holds the entry, and the entry's record. Records never lie at a
// negative position, so bit 31 is free to mark the directory met first.
constexpr std::uint64_t kFirstMet = std::uint64_t{1} << 31;
constexpr std::uint64_t kRecordMask = kFirstMet - 1;

std::uint64_t entryKey(std::int32_t parent, std::int32_t record) {
  return std::uint64_t{static_cast<std::uint32_t>(parent)} << 32 |
         (static_cast<std::uint32_t>(record) & kRecordMask);
}

// A listing cookie: the walk's position and whether further blocks follow,
// or the end. No cookie of a position is 0, which starts the listing.
constexpr ListCookie kEndCookie = ListCookie{1} << 40;

ListCookie cookieAfter(const WalkState& walk) {
  if (walk.end != WalkEnd::kRunning) return kEndCookie;
  return ListCookie{walk.moreBlocksFollow} << 32 | static_cast<std::uint32_t>(walk.position);
}

// The walk of `directory` from where `cookie` left it.
WalkState resumeWalk(WindowedReader& reader, std::int32_t directory, ListCookie cookie) {
  if (cookie == 0) return beginWalk(reader, directory);
  WalkState walk;
  if (cookie == kEndCookie) {
    walk.end = WalkEnd::kStopped;
    return walk;
  }
  walk.position = static_cast<std::int32_t>(static_cast<std::uint32_t>(cookie));
  walk.moreBlocksFollow = (cookie >> 32 & 1) != 0;
  return walk;
}

// The entry whose record lies at `record`, read as a walk reads it there.
std::optional<DirectoryEntry> entryAt(WindowedReader& reader, const VolumeGeometry& geometry,
                                      std::int32_t record) {
  WalkState walk;
  walk.position = record;
  return nextEntry(reader, geometry, walk);
}

// t's walk from the root, remembering every directory entry it meets and
// which of them it entered, and counting the names a mount leaves out. It
// enters what x enters: not a later entry of a local name (x leaves it
// alone, and the mount does not show it), so that a directory x extracts
// in full under another entry is shown in full there too.
class DirectoryRecorder final : public TreeVisitor {
 public:
  DirectoryRecorder(const ByteSource& image, const VolumeGeometry& geometry,
                    std::vector<std::uint64_t>& directories)
      : geometry_(geometry), directories_(directories), names_(image, geometry) {
    enterDirectory(geometry.rootDirectoryOffset);
  }
  bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
    ++entries_.back();
    const auto name = mountedName(entry.name);
    if (!name) {
      ++namesLeftOut;
      return false;
    }
    if (names_.earlier(entry, *name)) return false;
    if (directory) {
      directories_.push_back(entryKey(starts_.back(), entry.recordPosition) | kFirstMet);
      enterDirectory(blockToOffset(geometry_, entry.startBlock));
    }
    return true;
  }
  void leave(const std::string&) override {
    noteIfLarge();
    starts_.pop_back();
    entries_.pop_back();
    names_.leave();
  }
  void revisit(const DirectoryEntry& entry, const std::string&) override {
    const auto name = mountedName(entry.name);
    if (!name) ++namesLeftOut;
    static_cast<void>(names_.earlier(entry, name.value_or("")));
    directories_.push_back(entryKey(starts_.back(), entry.recordPosition));
  }

  /// Once the walk is back at the root: the directories entered that hold
  /// at least `MountTree::kIndexedAtStart` entries, as (entries, start).
  std::vector<std::pair<std::int64_t, std::int32_t>> largeDirectories() {
    noteIfLarge();
    return std::move(large_);
  }

  std::int64_t namesLeftOut = 0;

 private:
  // The mount's folders are its own, and tell every name apart.
  void enterDirectory(std::int32_t start) {
    starts_.push_back(start);
    entries_.push_back(0);
    names_.enter(start, false);
  }
  void noteIfLarge() {
    if (entries_.back() >= MountTree::kIndexedAtStart)
      large_.emplace_back(entries_.back(), starts_.back());
  }
  const VolumeGeometry& geometry_;
  std::vector<std::uint64_t>& directories_;
  FirstNames names_;
  std::vector<std::int32_t> starts_;
  std::vector<std::int64_t> entries_;  ///< of each directory in `starts_`, so far
  std::vector<std::pair<std::int64_t, std::int32_t>> large_;
};

}  // namespace

std::optional<std::string> mountedName(std::string_view entryName) {
  std::string local = localName(entryName);
  if (local.empty()) return std::nullopt;
  return local;
}

constexpr std::uint32_t kShortAtImageEnd = std::uint32_t{1} << 31;

std::uint64_t packExtent(FileExtent extent) {
  return std::uint64_t{static_cast<std::uint32_t>(extent.position)} << 32 |
         (static_cast<std::uint32_t>(extent.byteCount) & ~kShortAtImageEnd) |
         (extent.shortAtImageEnd ? kShortAtImageEnd : 0);
}

FileExtent unpackExtent(std::uint64_t packed) {
  const auto low = static_cast<std::uint32_t>(packed);
  return {static_cast<std::int32_t>(static_cast<std::uint32_t>(packed >> 32)),
          static_cast<std::int32_t>(low & ~kShortAtImageEnd), (low & kShortAtImageEnd) != 0};
}

MountTree::MountTree(const ByteSource& image, const VolumeGeometry& geometry,
                     std::size_t cacheBytes)
    : image_(image), geometry_(geometry), indexes_(cacheBytes) {
  std::vector<std::pair<std::int64_t, std::int32_t>> large;
  {
    DirectoryRecorder recorder(image, geometry_, directories_);
    walkTree(image, geometry, geometry.rootDirectoryOffset, recorder);
    namesLeftOut_ = recorder.namesLeftOut;
    large = recorder.largeDirectories();
  }
  std::sort(directories_.begin(), directories_.end(),
            [](std::uint64_t a, std::uint64_t b) { return (a & ~kFirstMet) < (b & ~kFirstMet); });
  directories_.shrink_to_fit();
  indexLargeDirectories(std::move(large), cacheBytes);
}

// A lookup in a directory without its index walks it, which past a few
// thousand entries takes longer than a lookup should: the largest
// directories get theirs now, as many as the bound holds together, so that
// even the first lookup in one is quick.
void MountTree::indexLargeDirectories(std::vector<std::pair<std::int64_t, std::int32_t>> large,
                                      std::size_t cacheBytes) {
  std::sort(large.begin(), large.end(), std::greater<>());
  for (const auto& [entries, start] : large) {
    const auto needed = static_cast<std::uint64_t>(entries) * sizeof(std::uint64_t);
    if (indexes_.bytes() + needed > cacheBytes) continue;
    static_cast<void>(indexOf(start));
  }
}

MountTree::Kind MountTree::kindOf(std::int32_t parent, std::int32_t record) const {
  const std::uint64_t key = entryKey(parent, record);
  const auto found =
      std::lower_bound(directories_.begin(), directories_.end(), key,
                       [](std::uint64_t a, std::uint64_t b) { return (a & ~kFirstMet) < b; });
  if (found == directories_.end() || (*found & ~kFirstMet) != key) return {};
  return {true, (*found & kFirstMet) != 0};
}

MountNode MountTree::makeNode(std::int32_t parent, const DirectoryEntry& entry) const {
  const Kind kind = kindOf(parent, entry.recordPosition);
  return {entryKey(parent, entry.recordPosition), entry, kind.directory, kind.listed,
          blockToOffset(geometry_, entry.startBlock)};
}

std::optional<MountNode> MountTree::node(NodeId id) {
  if (id == kRootNode) {
    MountNode root;
    root.start = geometry_.rootDirectoryOffset;
    return root;
  }
  WindowedReader reader(image_, 256);
  const auto entry =
      entryAt(reader, geometry_, static_cast<std::int32_t>(static_cast<std::uint32_t>(id)));
  if (!entry) return std::nullopt;
  return makeNode(static_cast<std::int32_t>(static_cast<std::uint32_t>(id >> 32)), *entry);
}

std::optional<MountNode> MountTree::lookup(const MountNode& directory, std::string_view name) {
  if (!directory.directory || !directory.listed) return std::nullopt;
  WindowedReader reader(image_);
  std::optional<DirectoryEntry> entry;
  if (const DirectoryNameIndex* index = indexOf(directory.start)) {
    if (const auto record = index->find(image_, name)) entry = entryAt(reader, geometry_, *record);
  } else {
    // As findEntry looks a name up, but by the name shown.
    WalkState walk = beginWalk(reader, directory.start);
    while ((entry = nextEntry(reader, geometry_, walk)) && mountedName(entry->name) != name) {
    }
  }
  if (!entry || entry->startBlock == 0 || mountedName(entry->name) != name) return std::nullopt;
  return makeNode(directory.start, *entry);
}

void MountTree::list(const MountNode& directory, ListCookie cookie, const ListVisitor& add) {
  if (!directory.directory || !directory.listed) return;
  const DirectoryNameIndex* index = indexOf(directory.start);
  WindowedReader reader(image_);
  WalkState walk = resumeWalk(reader, directory.start, cookie);
  while (const auto entry = nextEntry(reader, geometry_, walk)) {
    const auto name = mountedName(entry->name);
    if (!name || entry->startBlock == 0) continue;
    if (index != nullptr && !index->isFirst(image_, *entry)) continue;
    if (!add(makeNode(directory.start, *entry), *name, cookieAfter(walk))) return;
  }
}

std::optional<MountTree::ReadPlace> MountTree::place(FileExtent file, std::int64_t offset,
                                                     std::size_t size, std::int64_t imageLength) {
  if (file.byteCount < 0 || offset < 0) return std::nullopt;
  if (offset >= file.byteCount) return ReadPlace{};
  const std::size_t count = std::min(size, static_cast<std::size_t>(file.byteCount - offset));
  if (count == 0) return ReadPlace{};
  const std::int64_t position = std::int64_t{file.position} + offset;
  if (file.position < 0 || position + static_cast<std::int64_t>(count) > imageLength) {
    return std::nullopt;
  }
  return ReadPlace{position, count};
}

std::optional<std::size_t> MountTree::read(FileExtent file, std::int64_t offset,
                                           std::span<unsigned char> out) const {
  if (file.byteCount < 0 || offset < 0) return std::nullopt;
  if (offset >= file.byteCount) return 0;
  const std::size_t count = std::min(out.size(), static_cast<std::size_t>(file.byteCount - offset));
  if (count == 0) return 0;
  if (file.position < 0) return std::nullopt;
  const std::size_t got = image_.readAt(file.position + offset, out.first(count));
  if (got == count || (file.shortAtImageEnd && got > 0)) return got;
  return std::nullopt;
}

const DirectoryNameIndex* MountTree::indexOf(std::int32_t directory) {
  // The mount's folders are its own, and tell every name apart.
  return indexes_.of(image_, geometry_, directory, false);
}

}  // namespace discshell
