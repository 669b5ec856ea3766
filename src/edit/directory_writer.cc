#include "edit/directory_writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <set>
#include <span>

#include "local/local_name.h"
#include "volume/block_layout.h"
#include "volume/directory.h"
#include "volume/layout.h"

namespace discshell {
namespace {

using layout::kBlockHeaderSize;
using layout::kMinEntrySize;

/// The header, a shortest record and the end marker: the least block that
/// can hold a directory's last block.
constexpr std::int32_t kLeastBlockSize = kBlockHeaderSize + kMinEntrySize + 4;
constexpr std::int32_t kLargestBlockSize = 1 << 20;

// A flags word, whose bits count, not its sign.
std::uint32_t flags32(std::span<const unsigned char> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(readBigEndian32(bytes, at));
}
std::span<const unsigned char> bytesOf(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Text of a field up to its first NUL, at most `limit` bytes.
std::string fieldText(const std::string& record, std::size_t at, std::size_t limit) {
  const std::string field = record.substr(at, limit);
  return field.substr(0, field.find('\0'));
}

// The part of a name after its last dot, in lower case; empty when there is none.
std::string extensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return "";
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

std::int32_t wholeBlocks(std::int64_t byteCount, std::int32_t blockSize) {
  return static_cast<std::int32_t>((std::max<std::int64_t>(byteCount, 0) + blockSize - 1) /
                                   blockSize);
}

// The records of one directory as the edits leave them, in order: the
// source's walked afresh, then the new ones.
class EditedRecords {
 public:
  EditedRecords(const ImageFile& image, const VolumeGeometry& geometry, const DirectoryEdits& edits,
                const RecordTemplates& templates)
      : reader_(image), geometry_(geometry), edits_(edits), templates_(templates) {
    if (edits.source) walk_ = beginWalk(reader_, *edits.source);
    sourceDone_ = !edits.source;
    for (const std::uint32_t key : edits.appended) {
      const NewRecord record = edits.newRecords->at(key);
      const std::string extension = extensionOf(record.name);
      if (!extension.empty()) wantedTypes_.insert({record.directory, extension});
    }
  }

  /// The next record's bytes (72 + 4k); no value at the end, and when the
  /// source cannot be read whole (then `failed`).
  std::optional<std::string> next() {
    if (failed_) return std::nullopt;
    if (!sourceDone_) {
      if (auto record = nextFromSource()) return record;
      if (failed_) return std::nullopt;
    }
    if (appended_ == edits_.appended.size()) return std::nullopt;
    return newRecord(edits_.newRecords->at(edits_.appended[appended_++]));
  }
  [[nodiscard]] bool failed() const { return failed_; }
  /// Once the source is read: one past its end marker.
  [[nodiscard]] std::int64_t sourceEnd() const { return std::int64_t{walk_.position} + 4; }

 private:
  std::optional<std::string> nextFromSource() {
    while (const auto entry = nextEntry(reader_, geometry_, walk_)) {
      const std::size_t index = index_++;
      const std::int64_t length =
          kMinEntrySize + std::int64_t{layout::kCopyBlockSize} * std::int64_t{entry->lastCopyIndex};
      if (index >= edits_.sourceKinds.size() || entry->lastCopyIndex < 0 ||
          length > geometry_.blockSize - kBlockHeaderSize) {
        failed_ = true;
        return std::nullopt;
      }
      std::string bytes(static_cast<std::size_t>(length), '\0');
      if (!reader_.read(entry->recordPosition,
                        {reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()})) {
        failed_ = true;
        return std::nullopt;
      }
      const auto edit = edits_.records.find(entry->recordPosition);
      if (edit != edits_.records.end()) {
        if (edit->second.erase) continue;
        if (edit->second.name) setName(bytes, *edit->second.name);
        if (edit->second.update && !DirectoryWriter::applyUpdate(bytes, *edit->second.update)) {
          failed_ = true;
          return std::nullopt;
        }
      }
      remember(bytes, edits_.sourceKinds[index]);
      return bytes;
    }
    sourceDone_ = true;
    // A damaged directory would lose the records behind the damage.
    failed_ = walk_.end != WalkEnd::kEndMarker || index_ != edits_.sourceKinds.size();
    return std::nullopt;
  }

  static void setName(std::string& record, std::string_view name) {
    std::string field(name.substr(0, layout::kNameMaxLength));
    field.resize(layout::kNameFieldSize, '\0');
    record.replace(layout::kNameField, layout::kNameFieldSize, field);
  }

  // Bytes the walk does not read come from the nearest earlier record of
  // the same kind in this directory, else from one of the volume, else
  // from one of the other kind; the type from a sibling of the same kind
  // whose name has the same extension, where there is one.
  std::string newRecord(const NewRecord& record) {
    using Choices = std::array<const std::string*, 4>;
    const Choices choices =
        record.directory
            ? Choices{&lastDirectory_, &templates_.directory, &lastFile_, &templates_.file}
            : Choices{&lastFile_, &templates_.file, &lastDirectory_, &templates_.directory};
    const std::string* base = choices[0];
    for (const std::string* choice : choices) {
      if (base->empty()) base = choice;
    }
    std::string bytes(kMinEntrySize, '\0');
    if (base->size() >= static_cast<std::size_t>(kMinEntrySize)) {
      bytes = base->substr(0, kMinEntrySize);
    } else {
      writeBigEndian32(bytes, layout::kFlagsField, 1);
    }
    const auto type = types_.find({record.directory, extensionOf(record.name)});
    if (type != types_.end()) bytes.replace(layout::kTypeField, layout::kTypeSize, type->second);
    writeBigEndian32(bytes, layout::kByteCountField, record.byteCount);
    writeBigEndian32(bytes, layout::kDataBlocksField,
                     wholeBlocks(record.byteCount, geometry_.blockSize));
    setName(bytes, record.name);
    writeBigEndian32(bytes, layout::kLastCopyIndexField, 0);
    writeBigEndian32(bytes, layout::kStartBlockField, record.startBlock);
    remember(bytes, record.directory);
    return bytes;
  }

  // Only a directory that gets new records needs what came before them;
  // the others are walked without keeping anything.
  void remember(const std::string& bytes, bool directory) {
    if (edits_.appended.empty()) return;
    (directory ? lastDirectory_ : lastFile_).assign(bytes, 0, kMinEntrySize);
    if (wantedTypes_.empty()) return;
    const std::pair<bool, std::string> key{
        directory, extensionOf(fieldText(bytes, layout::kNameField, layout::kNameMaxLength))};
    if (!key.second.empty() && wantedTypes_.contains(key)) {
      types_[key] = bytes.substr(layout::kTypeField, layout::kTypeSize);
    }
  }

  WindowedReader reader_;
  const VolumeGeometry& geometry_;
  const DirectoryEdits& edits_;
  const RecordTemplates& templates_;
  WalkState walk_;
  bool sourceDone_ = true;
  bool failed_ = false;
  std::size_t index_ = 0;
  std::size_t appended_ = 0;
  std::string lastFile_;
  std::string lastDirectory_;
  std::set<std::pair<bool, std::string>> wantedTypes_;
  std::map<std::pair<bool, std::string>, std::string> types_;
};

// Which records go into each block: the one rule that measuring a
// directory and writing it share. Records go in order. But where the next
// one does not fit in a block that another follows while 72 bytes or more
// remain there (the walk would read on, and meet no record), a later record
// that fits goes first, or else the block's last record makes way for one
// that closes it; the records passed over open the next block. A record
// never passes an earlier one of its own local name, which keeps the first
// of a name first. Only a few blocks' worth of records are held to choose
// from. So a directory whose records, erased among, no longer fit their
// blocks in order (a long record shifted across a block's end) is still
// laid out.
class RecordPacker {
 public:
  RecordPacker(EditedRecords& source, std::int32_t blockSize)
      : source_(source), lookahead_(4 * std::int64_t{blockSize}) {}

  /// The records of a block that another follows, in the order they go,
  /// and whether they close it (fewer than 72 bytes left behind them); a
  /// block left open ends where the records end, or nowhere.
  struct Filled {
    std::vector<std::string> records;
    bool closed = false;
  };
  [[nodiscard]] Filled fillBlock(std::int32_t blockSize) {
    Filled filled;
    BlockLayout layout(blockSize);
    layout.beginBlock(false);
    std::vector<std::size_t> indices;
    while (!layout.full()) {
      auto pick = first(layout, false);
      if (!pick && !filled.records.empty()) pick = makeWay(layout, filled.records, indices);
      if (!pick) return filled;
      static_cast<void>(layout.place(static_cast<std::int64_t>(queue_[*pick].bytes.size())));
      indices.push_back(queue_[*pick].index);
      filled.records.push_back(take(*pick));
    }
    filled.closed = true;
    return filled;
  }

  /// Every record left, in order, for the last block.
  [[nodiscard]] std::vector<std::string> rest() {
    std::vector<std::string> records;
    while (more()) records.push_back(take(0));
    return records;
  }

  /// Whether any record is left to place.
  [[nodiscard]] bool more() { return !queue_.empty() || readOne(); }

 private:
  struct Queued {
    std::string bytes;
    std::size_t index;  ///< in the directory's order
  };

  std::string take(std::size_t i) {
    std::string bytes = std::move(queue_[i].bytes);
    queuedBytes_ -= static_cast<std::int64_t>(bytes.size());
    queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
    return bytes;
  }

  bool readOne() {
    if (sourceDone_) return false;
    auto record = source_.next();
    if (!record) {
      sourceDone_ = true;
      return false;
    }
    queuedBytes_ += static_cast<std::int64_t>(record->size());
    queue_.push_back({std::move(*record), next_++});
    return true;
  }

  // The first queued record that fits (and, with `closing`, closes the
  // block), reading on within the lookahead; none passes an earlier one of
  // its local name.
  std::optional<std::size_t> first(const BlockLayout& layout, bool closing) {
    for (std::size_t i = 0;; ++i) {
      if (i == queue_.size() && (queuedBytes_ > lookahead_ || !readOne())) return std::nullopt;
      const auto length = static_cast<std::int64_t>(queue_[i].bytes.size());
      if (!layout.fits(length) || (closing && !layout.closedBy(length))) continue;
      if (i == 0 || !passesItsName(i)) return i;
    }
  }

  bool passesItsName(std::size_t i) const {
    const std::string name = localName(nameOf(queue_[i].bytes));
    for (std::size_t k = 0; k < i; ++k) {
      if (localName(nameOf(queue_[k].bytes)) == name) return true;
    }
    return false;
  }

  static std::string nameOf(const std::string& record) {
    return fieldText(record, layout::kNameField, layout::kNameMaxLength);
  }

  // The block's last record goes back among the queued ones, in its place
  // by order, if one of them then closes the block.
  std::optional<std::size_t> makeWay(BlockLayout& layout, std::vector<std::string>& records,
                                     std::vector<std::size_t>& indices) {
    const auto length = static_cast<std::int64_t>(records.back().size());
    layout.unplace(length);
    const auto at = std::find_if(queue_.begin(), queue_.end(),
                                 [&](const Queued& q) { return q.index > indices.back(); });
    const auto back = queue_.insert(at, {std::move(records.back()), indices.back()});
    const auto backAt = static_cast<std::size_t>(back - queue_.begin());
    queuedBytes_ += length;
    records.pop_back();
    indices.pop_back();
    if (auto closer = first(layout, true)) return closer;
    // None does: the block stays as it was.
    static_cast<void>(layout.place(length));
    indices.push_back(queue_[backAt].index);
    records.push_back(take(backAt));
    return std::nullopt;
  }

  EditedRecords& source_;
  std::int64_t lookahead_;
  std::deque<Queued> queue_;
  std::int64_t queuedBytes_ = 0;
  std::size_t next_ = 0;
  bool sourceDone_ = false;
};

// The two newest blocks of a directory being made, at their places in the
// image: what the check's walk reads.
class BlockPair final : public ByteSource {
 public:
  explicit BlockPair(std::size_t blockSize) : previous_(blockSize), current_(blockSize) {}
  /// Makes room for the next block at `start`; the newest becomes the previous one.
  std::span<unsigned char> next(std::int64_t start) {
    previous_.swap(current_);
    std::fill(current_.begin(), current_.end(), 0);
    hasPrevious_ = currentStart_.has_value();
    currentStart_ = start;
    return current_;
  }
  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override {
    if (!currentStart_) return 0;
    const auto size = static_cast<std::int64_t>(current_.size());
    const std::int64_t begin = *currentStart_ - (hasPrevious_ ? size : 0);
    const std::int64_t end = *currentStart_ + size;
    std::size_t done = 0;
    while (done < out.size() && position >= begin && position < end) {
      const bool inCurrent = position >= *currentStart_;
      const std::int64_t at = position - (inCurrent ? *currentStart_ : begin);
      const std::size_t n = std::min(out.size() - done, static_cast<std::size_t>(size - at));
      std::memcpy(out.data() + done, (inCurrent ? current_ : previous_).data() + at, n);
      done += n;
      position += static_cast<std::int64_t>(n);
    }
    return done;
  }

 private:
  std::vector<unsigned char> previous_;
  std::vector<unsigned char> current_;
  std::optional<std::int64_t> currentStart_;
  bool hasPrevious_ = false;
};

// A directory laid into its blocks, made one block at a time. Each block,
// once the one behind it is made too (a walk may read the next block's
// header), is walked by the tool's own walk, which must meet exactly the
// records laid into it, at their places.
class PackedDirectory final : public ByteStream {
 public:
  PackedDirectory(const ImageFile& image, const VolumeGeometry& geometry,
                  const DirectoryConventions& conventions,
                  std::shared_ptr<const DirectoryEdits> edits,
                  std::shared_ptr<const RecordTemplates> templates, std::int32_t firstBlock,
                  std::int32_t blocks)
      : image_(image),
        geometry_(geometry),
        conventions_(conventions),
        edits_(std::move(edits)),
        templates_(std::move(templates)),
        records_(image, geometry_, *edits_, *templates_),
        packer_(records_, geometry.blockSize),
        firstBlock_(firstBlock),
        blocks_(blocks),
        blockSize_(static_cast<std::size_t>(geometry.blockSize)),
        blocksMade_(blockSize_),
        checkReader_(blocksMade_, std::min<std::size_t>(blockSize_, 64 * 1024)),
        handedOut_(blockSize_) {}

  std::optional<std::size_t> read(std::span<unsigned char> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      if (handedOut_ == blockSize_) {
        if (made_ == blocks_) break;
        if (!makeBlock()) return std::nullopt;
        handedOut_ = 0;
      }
      const std::size_t n = std::min(out.size() - done, blockSize_ - handedOut_);
      std::memcpy(out.data() + done, block_.data() + handedOut_, n);
      handedOut_ += n;
      done += n;
    }
    return done;
  }

 private:
  struct Placed {
    std::int32_t position;
    std::string record;
  };

  bool makeBlock() {
    const std::int32_t j = made_++;
    const bool last = made_ == blocks_;
    const std::int32_t start = blockToOffset(geometry_, firstBlock_ + j);
    block_ = blocksMade_.next(start);
    writeBigEndian32(block_, 0, last ? layout::kNoNextBlock : firstBlock_ + j + 1);
    if (!headerBytes(j)) return false;
    // The packer chooses as it chose when the directory was measured.
    std::vector<std::string> records;
    if (last) {
      records = packer_.rest();
    } else {
      RecordPacker::Filled filled = packer_.fillBlock(geometry_.blockSize);
      if (!filled.closed) return false;
      records = std::move(filled.records);
    }
    BlockLayout placement(geometry_.blockSize);
    placement.beginBlock(last);
    std::optional<std::int64_t> lastRecord;
    for (std::string& record : records) {
      const auto length = static_cast<std::int64_t>(record.size());
      if (!placement.fits(length)) return false;
      const std::int64_t offset = placement.place(length);
      std::memcpy(block_.data() + offset, record.data(), record.size());
      placed_.push_back({static_cast<std::int32_t>(start + offset), std::move(record)});
      clearMarks(static_cast<std::size_t>(offset));
      lastRecord = offset;
    }
    if (records_.failed()) return false;
    markEnds(lastRecord, placement.end(), last);
    if (j == 0) walk_ = beginWalk(checkReader_, start);
    return checkWalk(last ? std::nullopt : std::optional<std::int64_t>(start));
  }

  bool headerBytes(std::int32_t j) {
    std::span<unsigned char> header = block_.subspan(4, 16);
    if (edits_->source && j < edits_->sourceBlocks) {
      const std::int32_t at =
          addWrapped(*edits_->source, addWrapped(multiplyWrapped(j, geometry_.blockSize), 4));
      return readExact(image_, at, header);
    }
    std::memcpy(header.data(), edits_->header.data(),
                std::min<std::size_t>(16, edits_->header.size()));
    return true;
  }

  void clearMarks(std::size_t at) {
    std::uint32_t flags = flags32(block_, at);
    if (conventions_.lastRecordBit) flags &= ~kLastRecordFlag;
    if (conventions_.blockEndBit) flags &= ~kBlockEndFlag;
    writeBigEndian32(block_, at, static_cast<std::int32_t>(flags));
  }

  void markEnds(std::optional<std::int64_t> lastRecord, std::int64_t end, bool lastBlock) {
    if (lastRecord) {
      const auto at = static_cast<std::size_t>(*lastRecord);
      std::uint32_t flags = flags32(block_, at);
      if (conventions_.blockEndBit) flags |= kBlockEndFlag;
      if (conventions_.lastRecordBit && lastBlock) flags |= kLastRecordFlag;
      writeBigEndian32(block_, at, static_cast<std::int32_t>(flags));
    }
    if (conventions_.endOffsetAt12) {
      writeBigEndian32(block_, kBlockEndOffsetField,
                       static_cast<std::int32_t>(lastRecord ? end : kBlockHeaderSize));
    }
  }

  // Walks on while the next record starts before `before` (to the walk's
  // end when there is no such bound), checking each record met.
  bool checkWalk(std::optional<std::int64_t> before) {
    while (walk_.end == WalkEnd::kRunning && (!before || walk_.position < *before)) {
      const auto entry = nextEntry(checkReader_, geometry_, walk_);
      if (!entry) break;
      if (placed_.empty() || !isPlaced(*entry, placed_.front())) return false;
      placed_.pop_front();
    }
    return before || (walk_.end == WalkEnd::kEndMarker && placed_.empty());
  }

  static bool isPlaced(const DirectoryEntry& entry, const Placed& placed) {
    const auto bytes = bytesOf(placed.record);
    return entry.recordPosition == placed.position &&
           entry.name == fieldText(placed.record, layout::kNameField, layout::kNameMaxLength) &&
           entry.type == fieldText(placed.record, layout::kTypeField, layout::kTypeSize) &&
           entry.byteCount == readBigEndian32(bytes, layout::kByteCountField) &&
           entry.lastCopyIndex == readBigEndian32(bytes, layout::kLastCopyIndexField) &&
           entry.startBlock == readBigEndian32(bytes, layout::kStartBlockField);
  }

  const ImageFile& image_;
  VolumeGeometry geometry_;
  DirectoryConventions conventions_;
  std::shared_ptr<const DirectoryEdits> edits_;
  std::shared_ptr<const RecordTemplates> templates_;
  EditedRecords records_;
  RecordPacker packer_;
  std::int32_t firstBlock_;
  std::int32_t blocks_;
  std::int32_t made_ = 0;
  std::size_t blockSize_;
  BlockPair blocksMade_;
  std::span<unsigned char> block_;
  WindowedReader checkReader_;
  WalkState walk_;
  std::deque<Placed> placed_;
  std::size_t handedOut_;
};

}  // namespace

namespace {

// The records laid out as if every block were followed by another: where
// each block starts (in bytes of records before it), and the last block
// the packer could fill. Any of these blocks can be the last one, which
// then holds all the rest, if they fit, behind the header with the end
// marker after them.
struct Sketch {
  std::vector<std::int64_t> starts{0};
  std::int64_t total = 0;
  bool bareFlags = false;  ///< a record has no flag but the marks this writer may clear
};

Sketch sketch(EditedRecords& records, std::int32_t blockSize, std::uint32_t marks) {
  Sketch shape;
  RecordPacker packer(records, blockSize);
  const auto note = [&](const std::string& record) {
    shape.total += static_cast<std::int64_t>(record.size());
    shape.bareFlags =
        shape.bareFlags || (flags32(bytesOf(record), layout::kFlagsField) & ~marks) == 0;
  };
  for (;;) {
    const RecordPacker::Filled filled = packer.fillBlock(blockSize);
    for (const std::string& record : filled.records) note(record);
    if (!filled.closed) break;
    shape.starts.push_back(shape.total);
  }
  for (const std::string& record : packer.rest()) note(record);
  return shape;
}

}  // namespace

DirectoryFit DirectoryWriter::measure(const DirectoryEdits& edits) const {
  DirectoryFit fit;
  const std::int64_t B = geometry_.blockSize;
  // Two blocks are held while a directory is made: memory stays bounded
  // whatever a damaged header says.
  if (B < kLeastBlockSize || B > kLargestBlockSize) {
    fit.problem = "blocks of " + std::to_string(B) + " bytes; this tool writes directories of " +
                  std::to_string(kLeastBlockSize) + " to " + std::to_string(kLargestBlockSize) +
                  " bytes a block.\n";
    return fit;
  }
  // Flags that hold nothing but the marks this writer sets and clears
  // could become 0, which ends a directory.
  const std::uint32_t marks = (conventions_.lastRecordBit ? kLastRecordFlag : 0) |
                              (conventions_.blockEndBit ? kBlockEndFlag : 0);
  EditedRecords records(image_, geometry_, edits, *templates_);
  const Sketch shape = sketch(records, geometry_.blockSize, marks);
  if (records.failed() || shape.bareFlags) {
    fit.problem = records.failed() ? "its records cannot be read whole.\n"
                                   : "a record's flags would become 0, which ends a directory.\n";
    return fit;
  }
  for (std::size_t j = 0; j < shape.starts.size(); ++j) {
    if (BlockLayout(geometry_.blockSize).lastBlockHolds(shape.total - shape.starts[j])) {
      fit.fewestBlocks = static_cast<std::int32_t>(j + 1);
      break;
    }
  }
  if (!fit.fewestBlocks) {
    fit.problem = "its records cannot be laid out in blocks.\n";
    return fit;
  }
  std::int32_t own = edits.sourceBlocks;
  if (edits.source && own <= 0) {
    own = static_cast<std::int32_t>(
        std::max<std::int64_t>((records.sourceEnd() - *edits.source + B - 1) / B, 1));
  }
  fit.sourceBlocks = own;
  // In place, only the blocks the records need are written: the rest of its
  // own stay as they are, behind a last block that says it is the last.
  fit.fitsInPlace = edits.source && own >= 1 && *fit.fewestBlocks <= own;
  return fit;
}

StreamWrite DirectoryWriter::stream(std::shared_ptr<const DirectoryEdits> edits,
                                    std::int32_t firstBlock, std::int32_t blocks,
                                    std::vector<std::int64_t> positions) const {
  StreamWrite write;
  write.positions = std::move(positions);
  write.length = std::int64_t{blocks} * geometry_.blockSize;
  if (edits->source) {
    write.replaced = {{*edits->source}, std::int64_t{edits->sourceBlocks} * geometry_.blockSize};
  }
  write.open = [&image = image_, geometry = geometry_, conventions = conventions_, edits,
                templates = templates_, firstBlock, blocks]() -> std::unique_ptr<ByteStream> {
    return std::make_unique<PackedDirectory>(image, geometry, conventions, edits, templates,
                                             firstBlock, blocks);
  };
  return write;
}

RecordPatch DirectoryWriter::patchRecord(const std::vector<std::int64_t>& copies,
                                         std::int32_t position, const RecordUpdate& update) const {
  RecordPatch patch;
  const std::size_t length =
      kMinEntrySize + layout::kCopyBlockSize * (std::max<std::size_t>(update.copies.size(), 1) - 1);
  const std::int64_t imageLength = image_.length().value_or(0);
  const auto read = [&](std::int64_t at, std::string& bytes) {
    bytes.assign(length, '\0');
    return at >= 0 && at + static_cast<std::int64_t>(length) <= imageLength &&
           image_.readAt(at, {reinterpret_cast<unsigned char*>(bytes.data()), length}) == length;
  };
  std::string original;
  std::string other;
  bool readFirst = false;
  for (std::size_t c = 0; c < copies.size(); ++c) {
    const bool readable = read(copies[c] + position - copies[0], c == 0 ? original : other);
    readFirst = c == 0 ? readable : readFirst;
    if (!readable) {
      patch.outside.push_back(c);
    } else if (c > 0 && readFirst && other != original) {
      patch.differing.push_back(c);
    }
  }
  std::string record = original;
  patch.fits = readFirst && applyUpdate(record, update);
  if (!patch.fits) return patch;
  for (const std::int64_t copy : copies) {
    patch.writes.push_back({copy + position - copies[0], record});
  }
  return patch;
}

bool DirectoryWriter::applyUpdate(std::string& record, const RecordUpdate& update) {
  const std::size_t copies = (record.size() - kMinEntrySize) / layout::kCopyBlockSize + 1;
  if (record.size() < static_cast<std::size_t>(kMinEntrySize) || update.copies.size() != copies) {
    return false;
  }
  writeBigEndian32(record, layout::kByteCountField, update.byteCount);
  writeBigEndian32(record, layout::kDataBlocksField, update.blocks);
  for (std::size_t i = 0; i < copies; ++i) {
    writeBigEndian32(record, layout::kStartBlockField + layout::kCopyBlockSize * i,
                     update.copies[i]);
  }
  return true;
}

}  // namespace discshell
