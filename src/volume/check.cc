#include "volume/check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <queue>
#include <tuple>
#include <vector>

#include "volume/layout.h"
#include "volume/tree.h"

namespace discshell {
namespace {

// Entries are numbered in walk order from 1; 0 is the root. A stretch's
// owner is that number, with a flag above it for directory data.
constexpr std::uint32_t kRoot = 0;
constexpr std::uint32_t kDirectoryData = 1u << 31;
constexpr std::uint32_t kNumberMask = kDirectoryData - 1;
constexpr std::uint32_t kNoEntry = ~0u;
/// The flags word of 0 that ends a directory.
constexpr std::int64_t kEndMarkerSize = 4;

// 32-bit keys with 32-bit values, several values to a key, by open
// addressing in one vector: 8 bytes a slot and no node allocations. It fills
// up to 31/32 before it grows, which keeps a directory of a million names
// at 8 MiB; the keys are hashes, so the runs it probes stay short. A slot of
// all ones is empty, so a value is never ~0.
class PairTable {
 public:
  /// Calls `found` with each value stored under `key` until it returns
  /// true; returns whether it did.
  template <typename Found>
  bool find(std::uint32_t key, Found found) const {
    if (slots_.empty()) return false;
    for (std::size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == kEmpty) return false;
      if (slots_[i] >> 32 == key && found(static_cast<std::uint32_t>(slots_[i]))) return true;
    }
  }
  /// Drops every pair whose key `keep` does not want.
  template <typename Keep>
  void keepOnly(Keep keep) {
    std::vector<std::uint64_t> old;
    old.swap(slots_);
    count_ = 0;
    for (const std::uint64_t slot : old) {
      const auto key = static_cast<std::uint32_t>(slot >> 32);
      if (slot != kEmpty && keep(key)) insert(key, static_cast<std::uint32_t>(slot));
    }
  }
  void insert(std::uint32_t key, std::uint32_t value) {
    if (32 * (count_ + 1) > 31 * slots_.size()) grow();
    std::size_t i = home(key);
    while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = (std::uint64_t{key} << 32) | value;
    ++count_;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  [[nodiscard]] std::size_t home(std::uint32_t key) const {
    const int bits = std::countr_zero(slots_.size());
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
  }
  void grow() {
    std::vector<std::uint64_t> old(slots_.empty() ? 16 : 2 * slots_.size(), kEmpty);
    old.swap(slots_);
    count_ = 0;
    for (const std::uint64_t slot : old) {
      if (slot != kEmpty) {
        insert(static_cast<std::uint32_t>(slot >> 32), static_cast<std::uint32_t>(slot));
      }
    }
  }
  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

/// Where an entry's record lies and which directory holds it (its walk
/// number, with kDirectoryData set when the entry itself is a directory):
/// enough to name it again later by reading the names up to the root.
struct Place {
  std::int32_t record;
  std::uint32_t parent;
};

/// One copy's data: from its first block over the entry's byte count.
struct Stretch {
  std::int32_t firstBlock;
  std::int32_t byteCount;
  std::uint32_t owner;
  std::int32_t startBlock;  ///< the owner's copy 0: two directories with one copy block differ here
};

// The smallest walk number over any range of the sorted stretches, from a
// tree of minimums in one array: 8 bytes a stretch.
class MinimumTree {
 public:
  explicit MinimumTree(const std::vector<Stretch>& stretches)
      : size_(stretches.size()), tree_(2 * size_, kNoEntry) {
    for (std::size_t i = 0; i < size_; ++i) tree_[size_ + i] = stretches[i].owner & kNumberMask;
    for (std::size_t i = size_ - 1; i > 0; --i) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
  }
  /// The smallest number over [begin, end); kNoEntry when the range is empty.
  [[nodiscard]] std::uint32_t minimum(std::size_t begin, std::size_t end) const {
    std::uint32_t smallest = kNoEntry;
    for (begin += size_, end += size_; begin < end; begin /= 2, end /= 2) {
      if ((begin & 1) != 0) smallest = std::min(smallest, tree_[begin++]);
      if ((end & 1) != 0) smallest = std::min(smallest, tree_[--end]);
    }
    return smallest;
  }

 private:
  std::size_t size_;
  std::vector<std::uint32_t> tree_;
};

/// A stretch that overlaps an earlier entry's: its entry, the first such
/// entry, and the stretch's place among the sorted stretches.
struct Overlap {
  std::uint32_t entry;
  std::uint32_t partner;
  std::size_t stretch;
  friend auto operator<=>(const Overlap&, const Overlap&) = default;
};

struct Copy {
  std::size_t index;
  std::int32_t position;
  std::int32_t block;
};

// Compares copies 1, 2, ... of some data with copy 0, a piece at a time:
// each piece of copy 0 is read once and compared with the same bytes of
// every copy that still agrees, so each copy is read at most once.
class CopyComparer {
 public:
  CopyComparer(const ImageFile& image, const BytesRead& bytesRead)
      : image_(image), bytesRead_(bytesRead) {}

  /// The indexes of the copies that differ from the `length` bytes at
  /// `first`, as far as the image holds copy 0.
  std::vector<Copy> differing(std::int32_t first, const std::vector<Copy>& others,
                              std::int64_t length) {
    constexpr std::size_t kPiece = 256 * 1024;
    if (piece_.empty()) {
      piece_.resize(kPiece);
      other_.resize(kPiece);
    }
    std::vector<bool> agrees(others.size(), true);
    std::size_t agreeing = others.size();
    for (std::int64_t done = 0; done < length && agreeing > 0;) {
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length - done, kPiece));
      const std::size_t got = image_.readAt(std::int64_t{first} + done, {piece_.data(), want});
      if (got == 0) break;
      for (std::size_t i = 0; i < others.size(); ++i) {
        if (agrees[i] && (image_.readAt(others[i].position + done, {other_.data(), got}) != got ||
                          std::memcmp(other_.data(), piece_.data(), got) != 0)) {
          agrees[i] = false;
          --agreeing;
        }
      }
      done += static_cast<std::int64_t>(got);
      if (bytesRead_) bytesRead_(static_cast<std::int64_t>(got));
    }
    std::vector<Copy> differ;
    for (std::size_t i = 0; i < others.size(); ++i) {
      if (!agrees[i]) differ.push_back(others[i]);
    }
    return differ;
  }

 private:
  const ImageFile& image_;
  const BytesRead& bytesRead_;
  std::vector<unsigned char> piece_;
  std::vector<unsigned char> other_;
};

const std::string kRootPath = "/";

class VolumeChecker final : public TreeVisitor {
 public:
  VolumeChecker(const ImageFile& image, const VolumeGeometry& geometry, VolumeSurvey& survey,
                const SurveyFocus& focus, const BytesRead& bytesRead)
      : image_(image),
        geometry_(geometry),
        survey_(survey),
        focus_(focus),
        imageLength_(image.length().value_or(0)),
        reader_(image),
        nameReader_(image, 4096),
        stretchReader_(image, 4096),
        compare_(image, bytesRead) {
    places_.push_back({0, kRoot});
    levels_.push_back({kRoot, geometry.rootDirectoryOffset});
    entered_.insert(static_cast<std::uint32_t>(geometry.rootDirectoryOffset), kRoot);
    totals.directories = 1;
    if (focus.directory == geometry.rootDirectoryOffset) focusDepth_ = 1;
  }

  void checkHeader() {
    const std::int32_t blockSize = geometry_.blockSize;
    if (blockSize <= 0) {
      problem("/", "block size " + std::to_string(blockSize) + " is not positive.");
    }
    const auto blockCount =
        reader_.read32(addWrapped(geometry_.volumeOffset, layout::kBlockCountField));
    std::optional<std::int64_t> end;
    if (blockCount && *blockCount < 0) {
      problem("/", "block count " + std::to_string(*blockCount) + " is negative.");
    } else if (blockCount && blockSize > 0) {
      volumeBlocks_ = *blockCount;
      end = geometry_.volumeOffset + std::int64_t{*blockCount} * blockSize;
    }
    survey_.extent(extent());
    if (end && *end > imageLength_) {
      const std::int64_t held = extent().heldBlocks;
      problem("/",
              "the volume ends " + std::to_string(*end - imageLength_) +
                  " bytes past the end of the image.",
              BlockRun{held, *blockCount - held});
    }
    checkRoot();
  }

  // Whole blocks only: the last one the image cuts short is past its end.
  [[nodiscard]] VolumeExtent extent() const {
    VolumeExtent volume;
    if (!volumeBlocks_) return volume;
    const std::int64_t blockSize = geometry_.blockSize;
    volume.blocks = *volumeBlocks_;
    volume.headerBlocks = (layout::kHeaderExtent + blockSize - 1) / blockSize;
    volume.heldBlocks = std::clamp<std::int64_t>(
        (imageLength_ - geometry_.volumeOffset) / blockSize, 0, volume.blocks);
    return volume;
  }

  void checkTree() { walkTree(image_, geometry_, geometry_.rootDirectoryOffset, *this); }

  // Each entry whose data overlaps that of an entry before it in walk order
  // gets one line, naming the first such entry: so a pair is named once,
  // under the later entry, and there are never more lines than entries,
  // even when thousands of entries lie over one another.
  void checkOverlaps() {
    std::vector<NameTable>().swap(nameTables_);  // done with
    if (geometry_.blockSize <= 0 || stretches_.empty()) return;
    auto overlaps = earlierOverlaps();
    std::sort(overlaps.begin(), overlaps.end());
    for (std::size_t i = 0; i < overlaps.size(); ++i) {
      if (i > 0 && overlaps[i].entry == overlaps[i - 1].entry) continue;
      const Stretch& stretch = stretches_[overlaps[i].stretch];
      problem(pathOf(overlaps[i].entry), "overlaps " + pathOf(overlaps[i].partner),
              blockRun(stretch.firstBlock, stretch.byteCount));
    }
    reportOverlapRuns();
  }

  void finish() {
    survey_.finish([this](std::uint32_t number) { return pathOf(number); });
  }

  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    // Directories are numbered now, as the parents of what follows; other
    // entries only once they have data for the overlap check or a copy to show.
    std::uint32_t number = directory ? remember(entry, true) : kNoEntry;
    const bool focused = isFocus(entry, directory);
    checkEntry(entry, directory, number, directory ? path + "/" : path, focused);
    if (!directory) {
      ++totals.files;
      return true;
    }
    ++totals.directories;
    entered_.insert(static_cast<std::uint32_t>(blockToOffset(geometry_, entry.startBlock)), number);
    levels_.push_back({number, blockToOffset(geometry_, entry.startBlock)});
    if (focused && focusDepth_ == 0) focusDepth_ = levels_.size();
    return true;
  }

  void leave(const std::string&) override {
    if (!nameTables_.empty() && nameTables_.back().depth == levels_.size()) nameTables_.pop_back();
    if (focusDepth_ == levels_.size()) focusDepth_ = 0;
    levels_.pop_back();
  }

  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    std::uint32_t number = kNoEntry;
    std::uint32_t first = kRoot;
    entered_.find(static_cast<std::uint32_t>(blockToOffset(geometry_, entry.startBlock)),
                  [&](std::uint32_t value) {
                    first = value;
                    return true;
                  });
    problem(path + "/", "directory already seen at " + pathOf(first),
            blockRun(entry.startBlock, entry.byteCount));
    checkEntry(entry, true, number, path + "/", isFocus(entry, true));
  }

  CheckTotals totals;

 private:
  // A directory being walked. Its first entry is kept here, and only a
  // second one gets it a table of names (in `nameTables_`), so a long chain
  // of directories of one entry each costs 16 bytes a level.
  struct Level {
    std::uint32_t number;
    std::int32_t offset;  ///< where its first block lies
    std::uint32_t firstKey = 0;
    std::uint32_t firstRecord = kNoEntry;  ///< the first entry's record position, if any
  };

  // The names of a directory of more than one entry, for the same-name
  // check: the first entry of each name, by the hash of the name. Once it
  // keeps kScanAfter names, the whole directory is read through once for the
  // hashes of all its names (4 bytes a name, for that moment only): a name
  // whose hash no other entry of it has cannot repeat, so from then on only
  // the few names whose hashes repeat are kept, however large the directory.
  struct NameTable {
    std::size_t depth = 0;  ///< of its level
    PairTable firsts;
    std::size_t kept = 0;
    bool scanned = false;
    std::vector<std::uint32_t> repeating;  ///< once scanned: the hashes that repeat, sorted
  };
  static constexpr std::size_t kScanAfter = 4096;
  /// A reading of this many entries costs more to repeat than to remember.
  static constexpr std::uint32_t kManyEntries = 16;

  void problem(const std::string& path, const std::string& what,
               std::optional<BlockRun> blocks = std::nullopt) {
    ++totals.problems;
    survey_.problem(path, what, blocks);
  }

  /// The whole blocks of `length` bytes from `block`; none when they are no blocks.
  [[nodiscard]] std::optional<BlockRun> blockRun(std::int32_t block, std::int64_t length) const {
    const std::int64_t blockSize = geometry_.blockSize;
    if (blockSize <= 0 || length <= 0) return std::nullopt;
    return BlockRun{block, (length + blockSize - 1) / blockSize};
  }

  // Inside the focus already, or its entry or directory itself.
  [[nodiscard]] bool isFocus(const DirectoryEntry& entry, bool directory) const {
    if (!hasFocus()) return true;
    return focusDepth_ != 0 || focus_.record == entry.recordPosition ||
           (directory && focus_.directory == blockToOffset(geometry_, entry.startBlock));
  }

  // Whether the survey is told of a copy: one that covers some block of the
  // volume, and only when it asks, so that v alone keeps nothing for the
  // copies it leaves out of the overlap check.
  [[nodiscard]] bool showsCopy(std::int32_t block, std::int64_t length) const {
    const auto blocks = blockRun(block, length);
    return survey_.wantsCopies() && blocks && volumeBlocks_ && blocks->first < *volumeBlocks_ &&
           blocks->first + blocks->count > 0;
  }

  void showCopy(const std::string& path, std::uint32_t number, std::size_t index,
                std::int32_t block, std::int32_t byteCount, bool directory, bool focused,
                bool checked) {
    if (showsCopy(block, byteCount)) {
      survey_.copy({path, number, index, *blockRun(block, byteCount), byteCount, directory, focused,
                    checked});
    }
  }

  // The root has no byte count: its blocks are those its walk covers.
  void checkRoot() {
    const std::int32_t root = geometry_.rootDirectoryOffset;
    WalkState walk = beginWalk(reader_, root);
    const bool started = walk.end == WalkEnd::kRunning;
    while (nextEntry(reader_, geometry_, walk)) {
    }
    const std::string at = std::to_string(started ? walk.position : root);
    if (walk.end == WalkEnd::kUnreadable) {
      problem("/",
              "the walk reaches the end of the image at byte " + at + " without an end marker.");
    } else if (walk.end == WalkEnd::kNoProgress) {
      problem("/", "the entry at byte " + at + " would not move the walk forward.");
    }
    if (walk.end != WalkEnd::kEndMarker || geometry_.blockSize <= 0) return;
    const std::int64_t blockSize = geometry_.blockSize;
    const std::int64_t used = walk.position + kEndMarkerSize - std::int64_t{root};
    const std::int64_t blocks = (used + blockSize - 1) / blockSize;
    checkRootCopies(static_cast<std::int32_t>(std::min<std::int64_t>(
                        blocks * blockSize, std::numeric_limits<std::int32_t>::max())),
                    std::min(blocks * blockSize, imageLength_ - root));
  }

  void checkRootCopies(std::int32_t byteCount, std::int64_t compared) {
    const std::int32_t volume = geometry_.volumeOffset;
    const auto last = reader_.read32(addWrapped(volume, layout::kRootLastCopyIndexField));
    const std::int32_t lastCopy =
        last && *last >= 0 && *last <= layout::kRootLastCopyIndexMax ? *last : 0;
    if (const auto block = reader_.read32(addWrapped(volume, layout::kRootBlockField))) {
      rootCopy(0, *block, byteCount);
    }
    std::vector<Copy> further;
    for (std::int32_t i = 1; i <= lastCopy; ++i) {
      const auto block =
          reader_.read32(addWrapped(volume, layout::kRootBlockField + layout::kCopyBlockSize * i));
      const std::int32_t position = block ? blockToOffset(geometry_, *block) : -1;
      if (position < 0 || position + compared > imageLength_) {
        problem("/", "copy " + std::to_string(i) + " lies outside the image.",
                block ? blockRun(*block, byteCount) : std::nullopt);
        continue;
      }
      further.push_back({static_cast<std::size_t>(i), position, *block});
      rootCopy(static_cast<std::size_t>(i), *block, byteCount);
    }
    compareCopies("/", geometry_.rootDirectoryOffset, further, compared);
  }

  void rootCopy(std::size_t index, std::int32_t block, std::int32_t byteCount) {
    const bool overHeader = overlapsHeader(block, byteCount);
    if (overHeader) {
      problem("/", "copy " + std::to_string(index) + " overlaps the volume header.",
              blockRun(block, byteCount));
    } else {
      addRootStretch(block, byteCount);
    }
    showCopy(kRootPath, kRoot, index, block, byteCount, true, focusDepth_ == 1 || !hasFocus(),
             !overHeader && takesPart(block, byteCount));
  }

  [[nodiscard]] bool hasFocus() const { return focus_.record || focus_.directory; }

  std::uint32_t remember(const DirectoryEntry& entry, bool directory) {
    places_.push_back(
        {entry.recordPosition, levels_.back().number | (directory ? kDirectoryData : 0)});
    return static_cast<std::uint32_t>(places_.size() - 1) & kNumberMask;
  }

  // One entry as the walk meets it, for the checks of its copies.
  struct EntryAtHand {
    const DirectoryEntry& entry;
    bool directory;
    std::uint32_t& number;  ///< its walk number, kNoEntry until it needs one
    const std::string& path;
    bool focused;
  };

  void checkEntry(const DirectoryEntry& entry, bool directory, std::uint32_t& number,
                  const std::string& path, bool focused) {
    checkName(entry, path);
    if (entry.byteCount < 0) {
      problem(path, "byte count " + std::to_string(entry.byteCount) + " is negative.");
    }
    auto blocks = readCopyBlocks(reader_, geometry_, entry);
    if (!blocks) {
      problem(path, "its copy list runs past its directory block.");
      blocks = std::vector<std::int32_t>{entry.startBlock};
    }
    const std::int64_t length = std::max(entry.byteCount, 0);
    const std::int32_t first = blockToOffset(geometry_, entry.startBlock);
    const EntryAtHand atHand{entry, directory, number, path, focused};
    bool firstIsWhole = false;
    std::vector<Copy> further;
    for (std::size_t i = 0; i < blocks->size(); ++i) {
      const std::int32_t block = (*blocks)[i];
      if (!checkCopy(atHand, i, block)) continue;
      const std::int32_t position = blockToOffset(geometry_, block);
      if (i == 0) firstIsWhole = true;
      if (i > 0 && position != first) further.push_back({i, position, block});
    }
    if (firstIsWhole) compareCopies(path, first, further, length);
    if (firstIsWhole && !directory) checkDamagedDirectory(entry, path);
  }

  // One copy of an entry: its problems, its part in the overlap check, and
  // the survey's view of it. Returns whether it lies whole in the volume
  // and the image.
  bool checkCopy(const EntryAtHand& at, std::size_t index, std::int32_t block) {
    const std::int32_t byteCount = at.entry.byteCount;
    const std::int64_t length = std::max(byteCount, 0);
    const std::int32_t position = blockToOffset(geometry_, block);
    const auto copy = [&](std::string_view what) {
      problem(at.path, "copy " + std::to_string(index) + std::string(what),
              blockRun(block, length));
    };
    // A start block of 0 means no entry, as g and x take it; any other
    // copy with bytes on block 0 lies over the header.
    if (block == 0 && (index == 0 || length == 0)) {
      problem(at.path, "copy " + std::to_string(index) + " has block 0.");
      return false;
    }
    bool whole = false;
    bool checked = false;
    if (outsideVolume(block, length)) {
      copy(" lies outside the volume.");
    } else if (position < 0 || position + length > imageLength_) {
      copy(" runs past the end of the image.");
    } else {
      whole = true;
      if (overlapsHeader(block, length)) {
        copy(" overlaps the volume header.");
      } else if (takesPart(block, byteCount)) {
        checked = true;
        stretches_.push_back({block, byteCount, numberOf(at) | (at.directory ? kDirectoryData : 0),
                              at.entry.startBlock});
      }
    }
    if (showsCopy(block, length)) {
      showCopy(at.path, numberOf(at), index, block, byteCount, at.directory, at.focused, checked);
    }
    return whole;
  }

  std::uint32_t numberOf(const EntryAtHand& at) {
    if (at.number == kNoEntry) at.number = remember(at.entry, at.directory);
    return at.number;
  }

  // Data that reads as a directory up to some entry and then fails by its
  // structure alone is most likely a directory damaged there, which every
  // command takes as a file: v says so. Every entry read must be sound (see
  // soundEntry), which file data next to never is. A start is read so once
  // when that finds damage or reads many entries; other readings end within
  // a few entries and cost less to repeat than to remember.
  void checkDamagedDirectory(const DirectoryEntry& entry, const std::string& path) {
    const auto start = static_cast<std::uint32_t>(blockToOffset(geometry_, entry.startBlock));
    if (readAsDirectoryAt_.find(start, [](std::uint32_t) { return true; })) return;
    const DirectoryReading reading =
        readAsDirectory(stretchReader_, geometry_, entry, [&](const DirectoryEntry& child) {
          return soundEntry(child) ? WalkStep::kContinue : WalkStep::kStop;
        });
    std::uint32_t sound = reading.entries;
    std::string then;
    if (reading.fault == DirectoryFault::kNamelessEntry) {
      then = "entry " + std::to_string(sound + 1) + " has no name.";
    } else if (reading.fault == DirectoryFault::kNoProgress) {
      --sound;  // the last entry read is the one that does not move on
      then = "entry " + std::to_string(sound + 1) + " would not move the walk forward.";
    } else if (reading.fault == DirectoryFault::kNoEndMarker) {
      then = "finds no end marker within its " + std::to_string(entry.byteCount) + " bytes.";
    }
    const bool damaged = !then.empty() && sound > 0;
    if (damaged || reading.entries >= kManyEntries) readAsDirectoryAt_.insert(start, 0);
    if (damaged) {
      problem(path, "reads as a directory up to entry " + std::to_string(sound) + ", then " + then);
    }
  }

  // An entry as a directory holds it when sound: named, a byte count of 0
  // or more, and its copy list within its block, every copy whole in the
  // volume and the image, none at block 0 or over the header.
  bool soundEntry(const DirectoryEntry& entry) {
    if (entry.name.empty() || entry.byteCount < 0) return false;
    const auto blocks = readCopyBlocks(stretchReader_, geometry_, entry);
    if (!blocks) return false;
    return std::all_of(blocks->begin(), blocks->end(), [&](std::int32_t block) {
      const std::int32_t position = blockToOffset(geometry_, block);
      return block > 0 && !overlapsHeader(block, entry.byteCount) &&
             !outsideVolume(block, entry.byteCount) && position >= 0 &&
             position + std::int64_t{entry.byteCount} <= imageLength_;
    });
  }

  static std::uint32_t nameKey(const std::string& name) {
    const std::uint64_t hash = std::hash<std::string>{}(name);
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
  }

  void checkName(const DirectoryEntry& entry, const std::string& path) {
    Level& level = levels_.back();
    const std::uint32_t key = nameKey(entry.name);
    const auto record = static_cast<std::uint32_t>(entry.recordPosition);
    if (level.firstRecord == kNoEntry) {
      level.firstKey = key;
      level.firstRecord = record;
      return;
    }
    if (nameTables_.empty() || nameTables_.back().depth != levels_.size()) {
      NameTable table;
      table.depth = levels_.size();
      table.firsts.insert(level.firstKey, level.firstRecord);
      table.kept = 1;
      nameTables_.push_back(std::move(table));
    }
    NameTable& names = nameTables_.back();
    if (names.scanned && !std::binary_search(names.repeating.begin(), names.repeating.end(), key)) {
      return;
    }
    // Only the first entry of each name goes in, so many entries of one
    // name cost one comparison each, not one per earlier entry.
    if (names.firsts.find(key, [&](std::uint32_t other) {
          return nameAt(static_cast<std::int32_t>(other)) == entry.name;
        })) {
      problem(path, "an earlier entry of its directory has the same name.");
      return;
    }
    names.firsts.insert(key, record);
    if (++names.kept > kScanAfter && !names.scanned) scanNames(names, level.offset);
  }

  // The hashes that more than one entry of the directory at `offset` has,
  // by the walk the tree walk takes; then only their names stay kept.
  void scanNames(NameTable& names, std::int32_t offset) {
    std::vector<std::uint32_t> keys;
    WindowedReader reader(image_);
    WalkState walk = beginWalk(reader, offset);
    while (const auto entry = nextEntry(reader, geometry_, walk))
      keys.push_back(nameKey(entry->name));
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (keys[i] == keys[i - 1] &&
          (names.repeating.empty() || names.repeating.back() != keys[i])) {
        names.repeating.push_back(keys[i]);
      }
    }
    std::vector<std::uint32_t>().swap(keys);
    names.firsts.keepOnly([&](std::uint32_t key) {
      return std::binary_search(names.repeating.begin(), names.repeating.end(), key);
    });
    names.scanned = true;
  }

  void compareCopies(const std::string& path, std::int32_t first, const std::vector<Copy>& further,
                     std::int64_t length) {
    if (further.empty() || length <= 0) return;
    for (const Copy& copy : compare_.differing(first, further, length)) {
      problem(path, "copy " + std::to_string(copy.index) + " differs from copy 0",
              blockRun(copy.block, length));
    }
  }

  [[nodiscard]] bool outsideVolume(std::int32_t block, std::int64_t length) const {
    if (!volumeBlocks_) return false;
    const std::int64_t blockSize = geometry_.blockSize;
    const std::int64_t blocks = (length + blockSize - 1) / blockSize;
    return block < 0 || block + blocks > *volumeBlocks_;
  }

  // Whether a copy's bytes reach into the volume's first 104 bytes, which
  // hold the header: with blocks smaller than that, block 1 and on do.
  [[nodiscard]] bool overlapsHeader(std::int32_t block, std::int64_t length) const {
    return length > 0 && block >= 0 && geometry_.blockSize > 0 &&
           std::int64_t{block} * geometry_.blockSize < layout::kHeaderExtent;
  }

  // Copies on block 0 or outside the volume are reported as such and left
  // out of the overlap check; empty data overlaps nothing.
  [[nodiscard]] bool takesPart(std::int32_t block, std::int32_t byteCount) const {
    return geometry_.blockSize > 0 && byteCount > 0 && block != 0 &&
           !outsideVolume(block, byteCount);
  }
  void addRootStretch(std::int32_t block, std::int32_t byteCount) {
    // The root's copy 0, which the header names first, tells it from
    // another directory that keeps a copy in the same blocks.
    const auto first = reader_.read32(addWrapped(geometry_.volumeOffset, layout::kRootBlockField));
    if (takesPart(block, byteCount))
      stretches_.push_back({block, byteCount, kRoot | kDirectoryData, first.value_or(0)});
  }

  [[nodiscard]] std::int64_t endBlock(const Stretch& stretch) const {
    const std::int64_t blockSize = geometry_.blockSize;
    return stretch.firstBlock + (std::int64_t{stretch.byteCount} + blockSize - 1) / blockSize;
  }

  static std::uint32_t number(const Stretch& stretch) { return stretch.owner & kNumberMask; }

  static bool sameData(const Stretch& a, const Stretch& b) {
    return a.firstBlock == b.firstBlock && a.byteCount == b.byteCount &&
           (a.owner & kDirectoryData) == (b.owner & kDirectoryData);
  }

  // Sort and sweep. A stretch overlaps those that begin inside it, a range
  // of the sorted stretches whose smallest walk number a tree of minimums
  // gives, and those that began before it and still reach it, whose
  // smallest number a heap keeps. Stretches of the same data (same first
  // block, same byte count, both directory data or both not) form a group
  // and never count as overlapping. Returns, for each stretch that overlaps
  // an entry before its own, its entry, the first such entry and the stretch.
  std::vector<Overlap> earlierOverlaps() {
    std::sort(stretches_.begin(), stretches_.end(), [](const Stretch& a, const Stretch& b) {
      return std::tie(a.firstBlock, a.byteCount, a.owner) <
             std::tie(b.firstBlock, b.byteCount, b.owner);
    });
    const MinimumTree numbers(stretches_);
    using Reaching = std::pair<std::uint32_t, std::int64_t>;  // walk number, end block
    std::priority_queue<Reaching, std::vector<Reaching>, std::greater<>> reaching;
    std::vector<Overlap> overlaps;
    std::size_t sameFirst = 0;  // the first stretch that begins where this group does
    for (std::size_t begin = 0, end = 0; begin < stretches_.size(); begin = end) {
      const Stretch& group = stretches_[begin];
      while (end < stretches_.size() && sameData(group, stretches_[end])) ++end;
      for (; group.firstBlock != stretches_[sameFirst].firstBlock; ++sameFirst) {
        reaching.emplace(number(stretches_[sameFirst]), endBlock(stretches_[sameFirst]));
      }
      while (!reaching.empty() && reaching.top().second <= group.firstBlock) reaching.pop();
      const auto beyond = std::partition_point(
          stretches_.begin() + static_cast<std::ptrdiff_t>(end), stretches_.end(),
          [&](const Stretch& s) { return s.firstBlock < endBlock(group); });
      const std::uint32_t partner = std::min(
          {reaching.empty() ? kNoEntry : reaching.top().first, numbers.minimum(sameFirst, begin),
           numbers.minimum(end, static_cast<std::size_t>(beyond - stretches_.begin()))});
      const SharedCopy shared = sharedCopy(begin, end);
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t own = number(stretches_[i]);
        const std::uint32_t other = std::min(partner, shared.partnerOf(stretches_[i]));
        if (other < own) overlaps.push_back({own, other, i});
      }
    }
    return overlaps;
  }

  // In a group of one directory's data, the stretches of another directory
  // (whose copy 0 lies elsewhere) that keep a copy in the same blocks: the
  // smallest walk number of the group's first directory, and the smallest of
  // any other one.
  struct SharedCopy {
    std::int32_t firstStart = 0;
    std::uint32_t ofFirst = kNoEntry;
    std::uint32_t ofOthers = kNoEntry;
    [[nodiscard]] std::uint32_t partnerOf(const Stretch& stretch) const {
      return stretch.startBlock == firstStart ? ofOthers : ofFirst;
    }
  };
  [[nodiscard]] SharedCopy sharedCopy(std::size_t begin, std::size_t end) const {
    SharedCopy shared;
    if ((stretches_[begin].owner & kDirectoryData) == 0) return shared;
    shared.firstStart = stretches_[begin].startBlock;
    for (std::size_t i = begin; i < end; ++i) {
      std::uint32_t& smallest =
          stretches_[i].startBlock == shared.firstStart ? shared.ofFirst : shared.ofOthers;
      smallest = std::min(smallest, number(stretches_[i]));
    }
    if (shared.ofOthers == kNoEntry) shared.ofFirst = kNoEntry;
    return shared;
  }

  // The blocks that the stretches of two entries or more cover, other than
  // the same data shared whole, merged where they meet: a stretch's blocks
  // before the furthest reach of another entry's stretches before it in the
  // sorted order. The furthest reach of all and the furthest of every entry
  // but that one's are enough to know it.
  void reportOverlapRuns() {
    std::optional<BlockRun> run;
    constexpr std::int64_t kNowhere = std::numeric_limits<std::int64_t>::min();
    std::int64_t reach = kNowhere;
    std::int64_t otherReach = kNowhere;
    std::uint32_t reachOwner = kNoEntry;
    for (std::size_t i = 0; i < stretches_.size(); ++i) {
      const Stretch& stretch = stretches_[i];
      if (i > 0 && sameData(stretch, stretches_[i - 1])) continue;
      const std::int64_t end = endBlock(stretch);
      const std::int64_t overlapEnd =
          std::min(end, stretch.owner == reachOwner ? otherReach : reach);
      if (overlapEnd > stretch.firstBlock) {
        if (run && run->first + run->count >= stretch.firstBlock) {
          run->count = std::max(run->count, overlapEnd - run->first);
        } else {
          if (run) survey_.overlap(*run);
          run = BlockRun{stretch.firstBlock, overlapEnd - stretch.firstBlock};
        }
      }
      if (stretch.owner == reachOwner) {
        reach = std::max(reach, end);
      } else if (end > reach) {
        otherReach = reach;
        reach = end;
        reachOwner = stretch.owner;
      } else {
        otherReach = std::max(otherReach, end);
      }
    }
    if (run) survey_.overlap(*run);
  }

  std::string nameAt(std::int32_t record) {
    std::array<unsigned char, layout::kNameFieldSize> field{};
    if (!nameReader_.read(addWrapped(record, layout::kNameField), field)) return {};
    std::string name;
    for (std::int32_t i = 0; i < layout::kNameMaxLength && field[static_cast<std::size_t>(i)] != 0;
         ++i) {
      name.push_back(static_cast<char>(field[static_cast<std::size_t>(i)]));
    }
    return name;
  }

  // The path the walk gave the entry, rebuilt from the names up to the root.
  std::string pathOf(std::uint32_t number) {
    if (number == kRoot) return "/";
    std::vector<std::uint32_t> chain;
    for (std::uint32_t n = number; n != kRoot; n = places_[n].parent & kNumberMask) {
      chain.push_back(n);
    }
    std::string path;
    for (auto n = chain.rbegin(); n != chain.rend(); ++n) {
      if (n != chain.rbegin()) path += '/';
      path += nameAt(places_[*n].record);
    }
    return (places_[number].parent & kDirectoryData) != 0 ? path + "/" : path;
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  VolumeSurvey& survey_;
  const SurveyFocus& focus_;
  /// The depth of the level whose entries are all in the focus; 0 while none is.
  std::size_t focusDepth_ = 0;
  std::int64_t imageLength_;
  WindowedReader reader_;
  WindowedReader nameReader_;
  WindowedReader stretchReader_;  ///< for data read as a directory, apart from the walk's
  CopyComparer compare_;
  std::optional<std::int64_t> volumeBlocks_;  ///< when the header gives a usable block count
  std::vector<Place> places_;
  std::vector<Level> levels_;  ///< the directories being walked, the root first
  /// For each level of more than one entry, by depth.
  std::vector<NameTable> nameTables_;
  PairTable entered_;  ///< directory position to the entry that entered it
  /// Starts of data already read as a directory by checkDamagedDirectory
  /// that need no second reading.
  PairTable readAsDirectoryAt_;
  std::vector<Stretch> stretches_;
};

}  // namespace

CheckTotals surveyVolume(const ImageFile& image, const VolumeGeometry& geometry,
                         VolumeSurvey& survey, const SurveyFocus& focus,
                         const BytesRead& bytesRead) {
  VolumeChecker checker(image, geometry, survey, focus, bytesRead);
  checker.checkHeader();
  checker.checkTree();
  checker.checkOverlaps();
  checker.finish();
  return checker.totals;
}

CheckTotals checkVolume(const ImageFile& image, const VolumeGeometry& geometry,
                        const ProblemReporter& report, const BytesRead& bytesRead) {
  // v alone: the problems, and nothing of where things lie.
  class Problems final : public VolumeSurvey {
   public:
    explicit Problems(const ProblemReporter& report) : report_(report) {}
    void problem(const std::string& path, const std::string& what,
                 std::optional<BlockRun>) override {
      report_(path, what);
    }
    [[nodiscard]] bool wantsCopies() const override { return false; }

   private:
    const ProblemReporter& report_;
  } problems(report);
  return surveyVolume(image, geometry, problems, {}, bytesRead);
}

}  // namespace discshell
