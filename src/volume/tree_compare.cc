#include "volume/tree_compare.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "bytes/compare.h"
#include "volume/directory_names.h"
#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {
namespace {

// Files are compared in reads of this many bytes from each image.
constexpr std::size_t kCompareChunk = std::size_t{1} << 20;
// Renames are looked for among this many erased and as many added files of
// a directory, the first in walk order, and each erased file is compared
// with at most kRenameTries added files of its size: enough for any real
// pair of discs, and bounded for one made to cost.
constexpr std::size_t kRenameCandidates = 65536;
constexpr int kRenameTries = 8;

// What keeps an entry from being found by any command, as g finds entries.
std::optional<TroubleKind> unfindable(std::string_view name, std::int32_t startBlock,
                                      std::int32_t byteCount) {
  if (name.empty()) return TroubleKind::kNoName;
  if (startBlock == 0) return TroubleKind::kNoStartBlock;
  if (byteCount < 0) return TroubleKind::kNegativeSize;
  return std::nullopt;
}
std::optional<TroubleKind> unfindable(const DirectoryEntry& entry) {
  return unfindable(entry.name, entry.startBlock, entry.byteCount);
}
std::optional<TroubleKind> unfindable(const EntryName& entry) {
  return unfindable(entry.name(), entry.startBlock, entry.byteCount);
}
std::string_view nameOf(const DirectoryEntry& entry) { return entry.name; }
std::string_view nameOf(const EntryName& entry) { return entry.name(); }

// A walk through the other directory in step with the image's, and the
// entry it reads next: whole for the report, only what matching needs for
// the first walk.
template <class Record>
struct OtherCursor {
  WalkState walk;
  std::optional<Record> next;
};

// The bytes of an entry's data that the image holds: what x writes of it.
struct HeldData {
  std::int64_t position = 0;
  std::int64_t held = 0;
  [[nodiscard]] bool whole(const DirectoryEntry& entry) const { return held == entry.byteCount; }
};

HeldData heldData(const ComparedVolume& volume, std::int64_t imageLength,
                  const DirectoryEntry& entry) {
  HeldData data;
  data.position = blockToOffset(volume.geometry, entry.startBlock);
  if (data.position >= 0 && entry.byteCount > 0) {
    data.held = std::clamp<std::int64_t>(imageLength - data.position, 0, entry.byteCount);
  }
  return data;
}

// One directory of each tree, entered together: what the walk in step
// keeps while it goes through them.
struct DirectoryPair {
  DirectoryPair(const ComparedVolume& image, std::int32_t imageOffset, std::int32_t otherStart,
                std::string prefix)
      : path(std::move(prefix)),
        otherOffset(otherStart),
        imageNames(image.image, image.geometry, imageOffset) {}
  std::string path;  ///< of its entries' directory, with a "/" at its end but at the root
  std::int32_t otherOffset;
  LaterNames imageNames;
  /// The other directory's names, made the first time the other directory
  /// does not go in step with the image's: two directories that hold the
  /// same names in the same order never need them.
  std::optional<DirectoryNames> otherNames;
  /// The walk through the other directory for the report. Each image
  /// entry's match is the other's first entry of its name; the walk moves
  /// past it, passing over what lies before it. The first walk in step took
  /// the same moves.
  OtherCursor<DirectoryEntry> other;
  /// The files of the image's directory found renamed: their records and
  /// those of their new names, sorted.
  std::vector<std::pair<std::int32_t, std::int32_t>> renames;
  [[nodiscard]] std::string directoryPath() const {
    return path.empty() ? path : path.substr(0, path.size() - 1);
  }
};

// A file that may be one half of a rename.
struct RenameCandidate {
  std::int32_t byteCount = 0;
  std::int32_t record = 0;
  std::size_t slot = 0;  ///< in the other directory's names
  bool operator<(const RenameCandidate& other) const {
    return std::pair(byteCount, record) < std::pair(other.byteCount, other.record);
  }
};

// Counts the entries below a directory that only one tree holds, entering
// each of its directories as the walk in step would.
class EntryCounter final : public TreeVisitor {
 public:
  explicit EntryCounter(std::function<void(const std::string&)> revisited)
      : revisited_(std::move(revisited)) {}
  bool visit(const DirectoryEntry&, bool, const std::string&) override {
    ++count;
    return true;
  }
  void revisit(const DirectoryEntry&, const std::string& path) override {
    ++count;
    revisited_(path);
  }
  std::int64_t count = 0;

 private:
  std::function<void(const std::string&)> revisited_;
};

template <class Record>
using PassedOver = std::function<void(const Record& entry)>;

class TreeComparer final : public TreeVisitor {
 public:
  TreeComparer(const ComparedVolume& image, const ComparedVolume& other, bool layout,
               ComparisonReport& report)
      : image_(image),
        other_(other),
        layout_(layout),
        report_(report),
        imageBounds_(image.image, image.geometry),
        otherBounds_(other.image, other.geometry),
        imageReader_(image.image),
        otherReader_(other.image),
        cursorReader_(other.image),
        imageLength_(image.image.length().value_or(0)),
        otherLength_(other.image.length().value_or(0)) {}

  ComparisonTotals run() {
    if (layout_) compareHeaders();
    const std::int32_t imageRoot = image_.geometry.rootDirectoryOffset;
    const std::int32_t otherRoot = other_.geometry.rootDirectoryOffset;
    static_cast<void>(otherBounds_.enter(otherRoot));
    enterPair(imageRoot, otherRoot, "");
    walkTree(image_.image, image_.geometry, imageRoot, *this, imageBounds_);
    leavePair();
    return totals_;
  }

  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (erasedDepth_ > 0) return countErased(directory);
    DirectoryPair& pair = pairs_.back();
    const std::uint32_t hash = hashName(entry.name);
    if (!comparable(pair, entry, hash, path)) return false;
    if (const auto match = matchInOther(pair, pair.other, entry.name, hash, reportPassed(pair))) {
      return compareEntries(entry, directory, *match, path);
    }
    if (reportRename(pair, entry, path)) return false;
    if (directory) {
      erasedDepth_ = 1;
      erasedEntries_ = 0;
      erasedPath_ = path;
      return true;
    }
    report(DifferenceKind::kErased, path, false, 0, 0);
    ++totals_.erased;
    return false;
  }

  void leave(const std::string&) override {
    if (erasedDepth_ > 0) {
      if (--erasedDepth_ == 0) {
        report(DifferenceKind::kErased, erasedPath_, true, erasedEntries_, 0);
        ++totals_.erased;
      }
      return;
    }
    leavePair();
  }

  // Its match in the other directory is passed by as the first walk
  // passed it, and not compared.
  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    if (erasedDepth_ > 0) {
      ++erasedEntries_;
    } else if (DirectoryPair& pair = pairs_.back();
               comparable(pair, entry, hashName(entry.name), path)) {
      static_cast<void>(
          matchInOther(pair, pair.other, entry.name, hashName(entry.name), reportPassed(pair)));
    } else {
      return;
    }
    trouble(Side::kImage, TroubleKind::kRevisit, path);
  }

 private:
  // Whether an entry of the image is one commands find, checked as x
  // checks it: not a later entry of its name, then no damage. One that is
  // not is named, and has no match: an entry of its name in the other tree
  // is there only.
  bool comparable(DirectoryPair& pair, const DirectoryEntry& entry, std::uint32_t hash,
                  const std::string& path) {
    if (pair.imageNames.isLater(imageReader_, entry.name, entry.recordPosition, hash)) {
      trouble(Side::kImage, TroubleKind::kDuplicate, path);
      return false;
    }
    if (const auto damage = unfindable(entry)) {
      troubleWith(Side::kImage, *damage, entry, path, pair);
      return false;
    }
    return true;
  }

  bool countErased(bool directory) {
    ++erasedEntries_;
    if (directory) ++erasedDepth_;
    return directory;
  }

  DirectoryNames& namesOf(DirectoryPair& pair) {
    if (!pair.otherNames) pair.otherNames.emplace(other_.image, other_.geometry, pair.otherOffset);
    return *pair.otherNames;
  }

  template <class Record>
  std::optional<Record> readNext(OtherCursor<Record>& cursor) {
    if constexpr (std::is_same_v<Record, DirectoryEntry>) {
      return nextEntry(cursorReader_, other_.geometry, cursor.walk);
    } else {
      return nextEntryName(cursorReader_, other_.geometry, cursor.walk);
    }
  }

  template <class Record>
  void startOtherWalk(const DirectoryPair& pair, OtherCursor<Record>& cursor) {
    cursor.walk = beginWalk(cursorReader_, pair.otherOffset);
    cursor.next = readNext(cursor);
  }

  // The other directory's entry that the image's comparable entry named
  // `name`, whose hash is `hash`, is compared with: the first of its name,
  // when commands find it. The walk through the other directory moves past
  // it, handing the entries before it to `passed`. Where the two
  // directories go in step, that entry is the one the walk reads next, and
  // no name is looked up: while none was, every entry the walk went past is
  // the match of an earlier entry of the image, whose names all differ from
  // this one's, so the entry it reads next is the first of its name. A
  // cursor that reads only names (the first walk's) learns only whether
  // there is a match.
  template <class Record>
  std::optional<Record> matchInOther(DirectoryPair& pair, OtherCursor<Record>& cursor,
                                     std::string_view name, std::uint32_t hash,
                                     const PassedOver<Record>& passed) {
    if (cursor.next && nameOf(*cursor.next) == name &&
        !(pair.otherNames && pair.otherNames->mayRepeat(hash))) {
      if (unfindable(*cursor.next)) return std::nullopt;
      std::optional<Record> match = std::move(cursor.next);
      cursor.next = readNext(cursor);
      return match;
    }
    DirectoryNames& names = namesOf(pair);
    auto found = names.first(otherReader_, name);
    if (!found || unfindable(found->entry)) return std::nullopt;
    names.markMatched(found->slot);
    passOver(cursor, found->entry.recordPosition, passed);
    if constexpr (std::is_same_v<Record, DirectoryEntry>) {
      return std::move(found->entry);
    } else {
      return Record{};
    }
  }

  // Hands the other directory's entries before `record` to `passed`, then
  // moves past `record`.
  template <class Record>
  void passOver(OtherCursor<Record>& cursor, std::int64_t record,
                const PassedOver<Record>& passed) {
    while (cursor.next && cursor.next->recordPosition < record) {
      const Record entry = std::move(*cursor.next);
      cursor.next = readNext(cursor);
      passed(entry);
    }
    if (cursor.next && cursor.next->recordPosition == record) cursor.next = readNext(cursor);
  }

  PassedOver<DirectoryEntry> reportPassed(DirectoryPair& pair) {
    return [this, &pair](const DirectoryEntry& entry) { reportUnmatched(pair, entry); };
  }

  void enterPair(std::int32_t imageOffset, std::int32_t otherOffset, std::string prefix) {
    DirectoryPair& pair = pairs_.emplace_back(image_, imageOffset, otherOffset, std::move(prefix));
    matchNames(pair, imageOffset);
    startOtherWalk(pair, pair.other);
  }

  // The first walk in step: marks the other directory's entries that are
  // matched out of their order, and finds the renames among the image's
  // files of at least a byte that nothing matches and the other's that the
  // walk passed over.
  void matchNames(DirectoryPair& pair, std::int32_t imageOffset) {
    std::vector<RenameCandidate> erased;
    std::vector<RenameCandidate> passed;
    const PassedOver<EntryName> keep = [&passed](const EntryName& entry) {
      if (entry.byteCount > 0 && passed.size() < kRenameCandidates) {
        passed.push_back({entry.byteCount, entry.recordPosition, 0});
      }
    };
    OtherCursor<EntryName> cursor;
    startOtherWalk(pair, cursor);
    WalkState walk = beginWalk(imageReader_, imageOffset);
    while (const auto entry = nextEntryName(imageReader_, image_.geometry, walk)) {
      const std::uint32_t hash = hashName(entry->name());
      if (unfindable(*entry) ||
          pair.imageNames.isLater(imageReader_, entry->name(), entry->recordPosition, hash)) {
        continue;
      }
      if (!matchInOther(pair, cursor, entry->name(), hash, keep) && entry->byteCount > 0 &&
          erased.size() < kRenameCandidates && !isDirectoryAt(entry->recordPosition)) {
        erased.push_back({entry->byteCount, entry->recordPosition, 0});
      }
    }
    passOver(cursor, std::numeric_limits<std::int64_t>::max(), keep);
    reportEarlyEnds(pair, cursor.walk);
    if (!erased.empty() && !passed.empty()) {
      findRenames(pair, erased, addedFiles(pair, passed, erased));
    }
  }

  // Whether the image's entry whose record lies at `record` is a directory.
  bool isDirectoryAt(std::int32_t record) {
    const auto entry = recordAt(imageReader_, image_.geometry, record);
    return entry && imageBounds_.isDirectory(*entry);
  }

  // A directory is one only where its walk ends at an end marker: the root
  // may end otherwise, and is compared as far as it reads.
  void reportEarlyEnds(const DirectoryPair& pair, const WalkState& otherWalk) {
    if (pair.imageNames.walkEnd() != WalkEnd::kEndMarker) {
      trouble(Side::kImage, TroubleKind::kEndsEarly, pair.directoryPath(),
              pair.imageNames.endPosition());
    }
    if (otherWalk.end != WalkEnd::kEndMarker) {
      trouble(Side::kOther, TroubleKind::kEndsEarly, pair.directoryPath(), otherWalk.position);
    }
  }

  // Of the files the walk passed over, those that nothing matched, that
  // commands find and that have a size one of `erased` has, sorted by size
  // and then walk order.
  std::vector<RenameCandidate> addedFiles(DirectoryPair& pair,
                                          const std::vector<RenameCandidate>& passed,
                                          const std::vector<RenameCandidate>& erased) {
    std::vector<std::int32_t> sizes;
    for (const RenameCandidate& file : erased) sizes.push_back(file.byteCount);
    std::sort(sizes.begin(), sizes.end());
    DirectoryNames& names = namesOf(pair);
    std::vector<RenameCandidate> added;
    for (const RenameCandidate& file : passed) {
      if (!std::binary_search(sizes.begin(), sizes.end(), file.byteCount)) continue;
      const auto entry = recordAt(otherReader_, other_.geometry, file.record);
      if (!entry) continue;
      const auto slot = names.slotOf(entry->name, entry->recordPosition);
      if (!slot || names.matched(*slot) || unfindable(*entry) || !isFirstOfName(pair, *entry) ||
          otherBounds_.isDirectory(*entry)) {
        continue;
      }
      added.push_back({file.byteCount, file.record, *slot});
    }
    std::sort(added.begin(), added.end());
    return added;
  }

  bool isFirstOfName(DirectoryPair& pair, const DirectoryEntry& entry) {
    const auto first = namesOf(pair).first(otherReader_, entry.name);
    return first && first->entry.recordPosition == entry.recordPosition;
  }

  // Pairs each erased file, in walk order, with the first added file of
  // its size that holds the same bytes and no earlier one took.
  void findRenames(DirectoryPair& pair, const std::vector<RenameCandidate>& erased,
                   const std::vector<RenameCandidate>& added) {
    DirectoryNames& names = namesOf(pair);
    for (const RenameCandidate& file : erased) {
      const auto [first, last] =
          std::equal_range(added.begin(), added.end(), RenameCandidate{file.byteCount, 0, 0},
                           [](const RenameCandidate& a, const RenameCandidate& b) {
                             return a.byteCount < b.byteCount;
                           });
      int tries = 0;
      for (auto candidate = first; candidate != last && tries < kRenameTries; ++candidate) {
        if (names.taken(candidate->slot)) continue;
        ++tries;
        if (sameFileBytes(file, *candidate)) {
          pair.renames.emplace_back(file.record, candidate->record);
          names.markTaken(candidate->slot);
          break;
        }
      }
    }
    std::sort(pair.renames.begin(), pair.renames.end());
  }

  bool sameFileBytes(const RenameCandidate& erased, const RenameCandidate& added) {
    const auto old = recordAt(imageReader_, image_.geometry, erased.record);
    const auto now = recordAt(otherReader_, other_.geometry, added.record);
    if (!old || !now) return false;
    const HeldData a = heldData(image_, imageLength_, *old);
    const HeldData b = heldData(other_, otherLength_, *now);
    return a.whole(*old) && b.whole(*now) &&
           renameComparer_(image_.image.file(), a.position, other_.image.file(), b.position,
                           a.held) == Comparison::kSame;
  }

  bool reportRename(const DirectoryPair& pair, const DirectoryEntry& entry,
                    const std::string& path) {
    const auto rename =
        std::lower_bound(pair.renames.begin(), pair.renames.end(),
                         std::pair(entry.recordPosition, std::numeric_limits<std::int32_t>::min()));
    if (rename == pair.renames.end() || rename->first != entry.recordPosition) return false;
    const auto now = recordAt(otherReader_, other_.geometry, rename->second);
    if (!now) return false;
    Difference renamed;
    renamed.kind = DifferenceKind::kRenamed;
    renamed.path = path;
    renamed.newPath = pair.path + now->name;
    report_.difference(renamed);
    ++totals_.renamed;
    return true;
  }

  void leavePair() {
    DirectoryPair& pair = pairs_.back();
    passOver(pair.other, std::numeric_limits<std::int64_t>::max(), reportPassed(pair));
    pairs_.pop_back();
  }

  // An entry of the other directory the walk passed over: added, unless
  // an image entry matched it out of order or it is a rename's new name.
  void reportUnmatched(DirectoryPair& pair, const DirectoryEntry& entry) {
    DirectoryNames& names = namesOf(pair);
    const auto slot = names.slotOf(entry.name, entry.recordPosition);
    if (slot && (names.matched(*slot) || names.taken(*slot))) return;
    reportAddition(pair, entry);
  }

  // An entry of the other directory that the image's has not: a file or a
  // directory added, or one that commands do not find.
  void reportAddition(DirectoryPair& pair, const DirectoryEntry& entry) {
    const std::string path = pair.path + entry.name;
    if (const auto damage = unfindable(entry)) {
      troubleWith(Side::kOther, *damage, entry, path, pair);
    } else if (!isFirstOfName(pair, entry)) {
      trouble(Side::kOther, TroubleKind::kDuplicate, path);
    } else if (!otherBounds_.isDirectory(entry)) {
      report(DifferenceKind::kAdded, path, false, 0, entry.byteCount);
      ++totals_.added;
    } else if (const std::int32_t offset = blockToOffset(other_.geometry, entry.startBlock);
               !otherBounds_.enter(offset)) {
      trouble(Side::kOther, TroubleKind::kRevisit, path);
    } else {
      EntryCounter counter([this](const std::string& below) {
        trouble(Side::kOther, TroubleKind::kRevisit, below);
      });
      walkTree(other_.image, other_.geometry, offset, counter, otherBounds_, path + "/");
      report(DifferenceKind::kAdded, path, true, 0, counter.count);
      ++totals_.added;
    }
  }

  // An entry of each tree of one name: a file with a file, a directory
  // with a directory, which the walk then enters together.
  bool compareEntries(const DirectoryEntry& old, bool directory, const DirectoryEntry& now,
                      const std::string& path) {
    if (directory != otherBounds_.isDirectory(now)) {
      report(DifferenceKind::kKindChanged, path, directory, 0, 0);
      ++totals_.changed;
      return false;
    }
    const std::int32_t otherOffset = blockToOffset(other_.geometry, now.startBlock);
    if (directory && !otherBounds_.enter(otherOffset)) {
      trouble(Side::kOther, TroubleKind::kRevisit, path);
      return false;
    }
    const std::optional<bool> changed = directory ? false : compareFiles(old, now, path);
    const bool moved = layout_ && compareLayout(old, now, path, directory);
    if (changed && *changed) {
      ++totals_.changed;
    } else if (moved) {
      ++totals_.moved;
    } else if (changed) {
      ++totals_.same;
    }
    if (directory) {
      enterPair(blockToOffset(image_.geometry, old.startBlock), otherOffset, path + "/");
    }
    return directory;
  }

  // Whether two files of one name hold other bytes; no value when that
  // cannot be told because an image does not hold them all.
  std::optional<bool> compareFiles(const DirectoryEntry& old, const DirectoryEntry& now,
                                   const std::string& path) {
    const HeldData a = heldData(image_, imageLength_, old);
    const HeldData b = heldData(other_, otherLength_, now);
    if (!a.whole(old)) trouble(Side::kImage, TroubleKind::kPastEnd, path);
    if (!b.whole(now)) trouble(Side::kOther, TroubleKind::kPastEnd, path);
    bool differ = old.byteCount != now.byteCount || a.held != b.held;
    if (!differ && a.held > 0) {
      const Comparison bytes =
          comparer_(image_.image.file(), a.position, other_.image.file(), b.position, a.held);
      if (bytes == Comparison::kUnreadable) {
        trouble(Side::kBoth, TroubleKind::kUnreadable, path);
        return std::nullopt;
      }
      differ = bytes == Comparison::kDifferent;
    }
    if (differ) report(DifferenceKind::kChanged, path, false, old.byteCount, now.byteCount);
    if (!differ && (!a.whole(old) || !b.whole(now))) return std::nullopt;
    return differ;
  }

  // With layout: the copies' blocks and the type field. Whether any differs.
  bool compareLayout(const DirectoryEntry& old, const DirectoryEntry& now, const std::string& path,
                     bool directory) {
    bool differ = false;
    const auto oldBlocks = readCopyBlocks(imageReader_, image_.geometry, old);
    const auto newBlocks = readCopyBlocks(otherReader_, other_.geometry, now);
    if (!oldBlocks) trouble(Side::kImage, TroubleKind::kCopyListTooLong, path);
    if (!newBlocks) trouble(Side::kOther, TroubleKind::kCopyListTooLong, path);
    if (oldBlocks && newBlocks) differ = compareCopies(*oldBlocks, *newBlocks, path, directory);
    if (old.type != now.type) {
      Difference type;
      type.kind = DifferenceKind::kType;
      type.path = path;
      type.directory = directory;
      type.oldType = old.type;
      type.newType = now.type;
      report_.difference(type);
      differ = true;
    }
    return differ;
  }

  bool compareCopies(const std::vector<std::int32_t>& old, const std::vector<std::int32_t>& now,
                     const std::string& path, bool directory) {
    const std::size_t common = std::min(old.size(), now.size());
    const bool moved =
        !std::equal(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(common), now.begin());
    if (moved) {
      Difference blocks;
      blocks.kind = DifferenceKind::kMoved;
      blocks.path = path;
      blocks.directory = directory;
      blocks.oldBlocks = old;
      blocks.newBlocks = now;
      report_.difference(blocks);
    }
    if (old.size() != now.size()) {
      report(DifferenceKind::kCopies, path, directory, static_cast<std::int64_t>(old.size()),
             static_cast<std::int64_t>(now.size()));
    }
    return moved || old.size() != now.size();
  }

  // With layout: the header's block size, the volume's size and where the
  // root lies, counted as one moved entry, the root.
  void compareHeaders() {
    const VolumeGeometry& old = image_.geometry;
    const VolumeGeometry& now = other_.geometry;
    bool differ = false;
    if (old.blockSize != now.blockSize) {
      report(DifferenceKind::kBlockSize, "", true, old.blockSize, now.blockSize);
      differ = true;
    }
    if (old.volumeSize != now.volumeSize) {
      report(DifferenceKind::kVolumeSize, "", true, old.volumeSize, now.volumeSize);
      differ = true;
    }
    const auto oldRoot = rootBlock(image_);
    const auto newRoot = rootBlock(other_);
    if (oldRoot != newRoot) {
      Difference root;
      root.kind = DifferenceKind::kMoved;
      root.directory = true;
      root.oldBlocks = {oldRoot};
      root.newBlocks = {newRoot};
      report_.difference(root);
      differ = true;
    }
    if (differ) ++totals_.moved;
  }

  static std::int32_t rootBlock(const ComparedVolume& volume) {
    WindowedReader reader(volume.image, layout::kHeaderExtent);
    return reader.read32(addWrapped(volume.geometry.volumeOffset, layout::kRootBlockField))
        .value_or(0);
  }

  void report(DifferenceKind kind, const std::string& path, bool directory, std::int64_t oldValue,
              std::int64_t newValue) {
    Difference difference;
    difference.kind = kind;
    difference.path = path;
    difference.directory = directory;
    difference.oldValue = oldValue;
    difference.newValue = newValue;
    report_.difference(difference);
  }

  void trouble(Side side, TroubleKind kind, const std::string& path, std::int64_t value = 0) {
    ++totals_.troubles;
    report_.trouble({side, kind, path, value});
  }

  // An entry that no command finds: the one without a name is named by its
  // directory and its record's place.
  void troubleWith(Side side, TroubleKind kind, const DirectoryEntry& entry,
                   const std::string& path, const DirectoryPair& pair) {
    if (kind == TroubleKind::kNoName) {
      trouble(side, kind, pair.directoryPath(), entry.recordPosition);
    } else {
      trouble(side, kind, path, entry.byteCount);
    }
  }

  const ComparedVolume& image_;
  const ComparedVolume& other_;
  bool layout_;
  ComparisonReport& report_;
  TreeBounds imageBounds_;
  TreeBounds otherBounds_;
  WindowedReader imageReader_;   ///< the image's directories, a second time, and its records
  WindowedReader otherReader_;   ///< the other's records, looked up by name
  WindowedReader cursorReader_;  ///< the other's directories, in step with the image's
  ByteComparer comparer_{kCompareChunk};
  ByteComparer renameComparer_;
  std::int64_t imageLength_;
  std::int64_t otherLength_;
  std::deque<DirectoryPair> pairs_;  ///< from the root to the directories walked now
  // An erased directory being walked to count what it held.
  std::int64_t erasedDepth_ = 0;
  std::int64_t erasedEntries_ = 0;
  std::string erasedPath_;
  ComparisonTotals totals_;
};

}  // namespace

ComparisonTotals compareVolumes(const ComparedVolume& image, const ComparedVolume& other,
                                bool layout, ComparisonReport& report) {
  TreeComparer comparer(image, other, layout, report);
  return comparer.run();
}

}  // namespace discshell
