#include "output/vcdiff_writer.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "bytes/compare.h"
#include "bytes/copy.h"
#include "bytes/progress.h"
#include "output/delta_match.h"
#include "output/output_file.h"

namespace discshell {
namespace {

// The file's header: "VCD" with the high bits set, version 0, and an
// indicator of 0: no secondary compressor, no code table of its own.
constexpr std::string_view kFileHeader{"\xD6\xC3\xC4\x00\x00", 5};
constexpr char kWindowHasSource = 0x01;
// Instructions of the default code table, each alone: RUN (code 0, its size
// after it); ADD (1, its size after it; 2 to 18 carry the sizes 1 to 17);
// COPY in address mode m (19 + 16 m, its size after it; the 15 codes after
// that carry the sizes 4 to 18).
constexpr unsigned char kRun = 0;
constexpr unsigned char kAdd = 1;
constexpr std::int64_t kLargestAddInCode = 17;
constexpr unsigned char kCopy = 19;
constexpr unsigned char kCopyCodesPerMode = 16;
constexpr std::int64_t kSmallestCopyInCode = 4;
constexpr std::int64_t kLargestCopyInCode = 18;
// A window's instructions and addresses are built in memory: at most this
// many pieces to a window keeps them under a megabyte however the target
// is cut up (r of thousands of records in one block, a file changed every
// few bytes). A window closes once fewer than kFewestFreePieces are left.
constexpr std::size_t kWindowPieces = std::size_t{1} << 15;
constexpr std::size_t kFewestFreePieces = 8;
// A local file this long or longer is searched for its old bytes only
// where a few samples find them (DeltaMatcher::resembles): a file written
// anew then costs a few reads, not a search that finds nothing.
constexpr std::int64_t kSampledFrom = std::int64_t{64} << 10;
// Stretches of a local file shorter than this go into the delta through a
// buffer, many to one read; longer ones by the copy loop.
constexpr std::int64_t kBufferedData = std::int64_t{64} << 10;
// The old bytes searched for one write: offsets in them fit 31 bits.
constexpr std::int64_t kLargestStretch = std::int64_t{1} << 31;
// Small pieces of the delta gather in a buffer of this size.
constexpr std::size_t kBufferLength = std::size_t{64} << 10;

// kImageData: bytes of the image carried in the delta as ADD data rather
// than COPYed, put there to move a local file's data that follows them to
// where the kernel copies it at full speed. kTarget: bytes the window has
// already made (another copy of the same file), COPYed from there.
enum class Source { kImage, kImageData, kZeros, kLocalFile, kStream, kBytes, kTarget };

// Where the bytes of a stretch of the target come from. The image's and
// the target's begin at position `offset` there (the image's at first at
// the same position as in the target); a local file's, a stream's or a
// byte write's at `offset` in it.
struct Piece {
  std::int64_t end = 0;
  Source source = Source::kImage;
  std::size_t index = 0;  ///< the LocalWrite, StreamWrite or ByteWrite
  std::int64_t offset = 0;
};
/// By first byte; the pieces cover the whole target, each byte once.
using TargetMap = std::map<std::int64_t, Piece>;

// Ends the piece that holds `at` just before it.
void splitAt(TargetMap& map, std::int64_t at) {
  auto it = map.upper_bound(at);
  if (it == map.begin()) return;
  --it;
  if (it->first == at || it->second.end <= at) return;
  Piece tail = it->second;
  tail.offset += at - it->first;
  it->second.end = at;
  map.emplace_hint(std::next(it), at, tail);
}

// `piece` from `begin` on, over whatever was there.
void paint(TargetMap& map, std::int64_t begin, const Piece& piece) {
  splitAt(map, begin);
  splitAt(map, piece.end);
  map.erase(map.lower_bound(begin), map.lower_bound(piece.end));
  map.emplace(begin, piece);
}

// What writeChangedImage writes, as pieces: the image, zeros up to the
// output's length, the local files in order (a later one over an earlier),
// the streams, then the byte writes over all. No value for a position below 0.
std::optional<TargetMap> describeTarget(std::int64_t imageLength, const ImageChanges& changes) {
  std::int64_t length = std::max(imageLength, changes.length);
  for (const LocalWriteView write : changes.files) {
    for (const std::int64_t position : write.positions) {
      if (position < 0) return std::nullopt;
      length = std::max(length, position + write.length);
    }
  }
  for (const StreamWrite& write : changes.streams) {
    for (const std::int64_t position : write.positions) {
      if (position < 0) return std::nullopt;
      length = std::max(length, position + write.length);
    }
  }
  for (const ByteWrite& write : changes.bytes) {
    if (write.position < 0) return std::nullopt;
    length = std::max(length, write.position + static_cast<std::int64_t>(write.bytes.size()));
  }
  TargetMap map;
  if (imageLength > 0) map.emplace(0, Piece{imageLength, Source::kImage, 0, 0});
  if (length > imageLength) map.emplace(imageLength, Piece{length, Source::kZeros, 0, 0});
  for (std::size_t i = 0; i < changes.files.size(); ++i) {
    const LocalWriteView write = changes.files[i];
    if (write.length <= 0) continue;
    for (const std::int64_t position : write.positions) {
      paint(map, position, {position + write.length, Source::kLocalFile, i, 0});
    }
  }
  for (std::size_t i = 0; i < changes.streams.size(); ++i) {
    const StreamWrite& write = changes.streams[i];
    if (write.length <= 0) continue;
    for (const std::int64_t position : write.positions) {
      paint(map, position, {position + write.length, Source::kStream, i, 0});
    }
  }
  for (std::size_t i = 0; i < changes.bytes.size(); ++i) {
    const auto size = static_cast<std::int64_t>(changes.bytes[i].bytes.size());
    const std::int64_t position = changes.bytes[i].position;
    if (size > 0) paint(map, position, {position + size, Source::kBytes, i, 0});
  }
  return map;
}

// A piece cut to a window.
struct Span {
  std::int64_t begin = 0;
  Piece piece;
  [[nodiscard]] std::int64_t length() const { return piece.end - begin; }
  /// Whether an ADD carries its bytes in the window's data.
  [[nodiscard]] bool added() const {
    return piece.source != Source::kImage && piece.source != Source::kZeros &&
           piece.source != Source::kTarget;
  }
  /// What it puts in the window's data: its bytes, RUN's one byte, or none.
  [[nodiscard]] std::int64_t dataLength() const {
    return added() ? length() : piece.source == Source::kZeros ? 1 : 0;
  }
};

// Only a local file's stretch of at least this much is moved to where the
// kernel copies it: the image bytes carried to move it, under one page,
// then add at most 0.4% to the delta.
constexpr std::int64_t kAlignedDataAtLeast = std::int64_t{1} << 20;

bool movable(const Span& span) {
  return span.piece.source == Source::kLocalFile && span.length() >= kAlignedDataAtLeast;
}

// The window's spans with the end of the image stretch in front of each
// large stretch of a local file carried as data, as much of it as puts the
// file's bytes at a position of the delta that agrees with their position in
// the file modulo `alignment`; the window's data begins at `dataStart`.
// Where the stretch in front is too short, or none, or old bytes of a
// changed entry (which a delta never carries), the bytes stay where they
// fall.
std::vector<Span> alignLocalData(const std::vector<Span>& spans, std::int64_t dataStart,
                                 std::int64_t alignment) {
  std::vector<Span> laid;
  laid.reserve(spans.size() + kPatchWindowTarget / kAlignedDataAtLeast);
  std::int64_t at = dataStart;
  for (const Span& span : spans) {
    if (movable(span) && !laid.empty() && laid.back().piece.source == Source::kImage &&
        laid.back().piece.offset == laid.back().begin) {
      const std::int64_t shift = ((span.piece.offset - at) % alignment + alignment) % alignment;
      Span& before = laid.back();
      if (shift > 0 && shift < before.length()) {
        const std::int64_t split = before.piece.end - shift;
        const Span carried{split, Piece{before.piece.end, Source::kImageData, 0,
                                        before.piece.offset + split - before.begin}};
        before.piece.end = split;
        laid.push_back(carried);
        at += shift;
      }
    }
    laid.push_back(span);
    at += span.dataLength();
  }
  return laid;
}

void putInteger(std::string& out, std::uint64_t value) {
  // Base 128, the most significant digit first, the high bit set on all
  // digits but the last.
  unsigned char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<unsigned char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count > 1) out.push_back(static_cast<char>(digits[--count] | 0x80));
  out.push_back(static_cast<char>(digits[0]));
}

std::size_t integerLength(std::uint64_t value) {
  std::size_t digits = 1;
  while (value >>= 7) ++digits;
  return digits;
}

// The format's cache of recent COPY addresses: a COPY's address goes in as
// the mode that takes fewest bytes: as it is (mode 0), back from where the
// COPY writes (1), forward from one of the last four addresses (2 to 5), or
// as one byte where it is the address last put in its slot of 768 (6 to
// 8). Near the last COPY of a long stretch, as in a file with scattered
// changes, that is a byte or two, not four. Where two modes take as many
// bytes, the lower wins.
class AddressCache {
 public:
  /// Puts `address` in `out` for a COPY that writes at `here`; returns its mode.
  unsigned char put(std::uint64_t address, std::uint64_t here, std::string& out) {
    unsigned char mode = 0;
    std::uint64_t value = address;
    std::size_t length = integerLength(address);
    const auto consider = [&](unsigned char candidate, std::uint64_t encoded, std::size_t size) {
      if (size >= length) return;
      mode = candidate;
      value = encoded;
      length = size;
    };
    consider(1, here - address, integerLength(here - address));
    for (unsigned char i = 0; i < near_.size(); ++i) {
      if (address >= near_[i]) {
        consider(2 + i, address - near_[i], integerLength(address - near_[i]));
      }
    }
    const std::size_t slot = address % same_.size();
    if (same_[slot] == address) consider(static_cast<unsigned char>(6 + slot / 256), slot % 256, 1);
    if (mode >= 6) {
      out.push_back(static_cast<char>(value));
    } else {
      putInteger(out, value);
    }
    near_[nextNear_] = address;
    nextNear_ = (nextNear_ + 1) % near_.size();
    same_[slot] = address;
    return mode;
  }

 private:
  std::array<std::uint64_t, 4> near_{};
  std::size_t nextNear_ = 0;
  std::array<std::uint64_t, 3 * 256> same_{};
};

// A window but its data: the instructions, the COPYs' addresses, and the
// stretch of the image the COPYs read (empty when there is none).
struct WindowCode {
  std::string instructions;
  std::string addresses;
  std::int64_t dataLength = 0;
  std::int64_t sourceBegin = 0;
  std::int64_t sourceEnd = 0;
};

// The stretch of the image a window's COPYs read: from the first byte any
// of them reads to the last.
void sourceOf(const std::vector<Span>& spans, WindowCode& code) {
  bool any = false;
  for (const Span& span : spans) {
    if (span.piece.source != Source::kImage) continue;
    const std::int64_t end = span.piece.offset + span.length();
    code.sourceBegin = any ? std::min(code.sourceBegin, span.piece.offset) : span.piece.offset;
    code.sourceEnd = any ? std::max(code.sourceEnd, end) : end;
    any = true;
  }
}

WindowCode codeWindow(const std::vector<Span>& spans) {
  WindowCode code;
  sourceOf(spans, code);
  const std::int64_t windowBegin = spans.front().begin;
  const std::int64_t segment = code.sourceEnd - code.sourceBegin;
  AddressCache cache;
  std::string& out = code.instructions;
  std::int64_t added = 0;  // neighbouring ADDs are one
  const auto endAdd = [&] {
    if (added == 0) return;
    if (added <= kLargestAddInCode) {
      out.push_back(static_cast<char>(kAdd + added));
    } else {
      out.push_back(static_cast<char>(kAdd));
      putInteger(out, static_cast<std::uint64_t>(added));
    }
    added = 0;
  };
  for (const Span& span : spans) {
    const std::int64_t size = span.length();
    code.dataLength += span.dataLength();
    if (span.added()) {
      added += size;
      continue;
    }
    endAdd();
    if (span.piece.source == Source::kZeros) {
      out.push_back(static_cast<char>(kRun));
      putInteger(out, static_cast<std::uint64_t>(size));
      continue;
    }
    // A COPY's address counts the image's segment first, then the window's target.
    const std::int64_t address = span.piece.source == Source::kImage
                                     ? span.piece.offset - code.sourceBegin
                                     : segment + span.piece.offset - windowBegin;
    const unsigned char mode =
        cache.put(static_cast<std::uint64_t>(address),
                  static_cast<std::uint64_t>(segment + span.begin - windowBegin), code.addresses);
    const auto first = static_cast<unsigned char>(kCopy + kCopyCodesPerMode * mode);
    if (size >= kSmallestCopyInCode && size <= kLargestCopyInCode) {
      out.push_back(static_cast<char>(first + size - kSmallestCopyInCode + 1));
    } else {
      out.push_back(static_cast<char>(first));
      putInteger(out, static_cast<std::uint64_t>(size));
    }
  }
  endAdd();
  return code;
}

// Everything of a window in front of its data.
std::string windowHeader(const WindowCode& code, std::int64_t targetLength) {
  std::string delta;
  putInteger(delta, static_cast<std::uint64_t>(targetLength));
  delta.push_back(0);  // no section compressed
  putInteger(delta, static_cast<std::uint64_t>(code.dataLength));
  putInteger(delta, code.instructions.size());
  putInteger(delta, code.addresses.size());
  std::string header;
  if (code.sourceEnd > code.sourceBegin) {
    header.push_back(kWindowHasSource);
    putInteger(header, static_cast<std::uint64_t>(code.sourceEnd - code.sourceBegin));
    putInteger(header, static_cast<std::uint64_t>(code.sourceBegin));
  } else {
    header.push_back(0);
  }
  putInteger(header, delta.size() + static_cast<std::uint64_t>(code.dataLength) +
                         code.instructions.size() + code.addresses.size());
  return header + delta;
}

// The delta, written front to back: small pieces through a buffer, local
// files' bytes from the file to the delta by the copy loop.
class DeltaOutput {
 public:
  explicit DeltaOutput(platform::File& out) : out_(out) {}

  [[nodiscard]] bool put(std::string_view bytes) {
    buffer_.append(bytes);
    return buffer_.size() < kBufferLength || flush();
  }
  [[nodiscard]] bool copyFrom(const platform::File& in, std::int64_t position,
                              std::int64_t length) {
    if (!flush() || !copyExactly(in, position, length, out_, written_)) return false;
    written_ += length;
    return true;
  }
  [[nodiscard]] bool flush() {
    const std::span<const unsigned char> bytes(
        reinterpret_cast<const unsigned char*>(buffer_.data()), buffer_.size());
    if (!bytes.empty() && !out_.writeAt(written_, bytes)) return false;
    written_ += static_cast<std::int64_t>(bytes.size());
    buffer_.clear();
    return true;
  }
  [[nodiscard]] std::int64_t size() const {
    return written_ + static_cast<std::int64_t>(buffer_.size());
  }

 private:
  platform::File& out_;
  std::string buffer_;
  std::int64_t written_ = 0;
};

std::string_view asText(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// A local file's bytes, for the search.
class LocalFileBytes final : public ByteReader {
 public:
  explicit LocalFileBytes(const platform::File& file) : file_(file) {}
  bool readAt(std::int64_t offset, std::span<unsigned char> out) override {
    return file_.readAt(offset, out) == out.size();
  }

 private:
  const platform::File& file_;
};

// A stream's bytes, read on from where the last read left it, and made
// afresh only for a read before that (the next copy of the same bytes).
class StreamBytes final : public ByteReader {
 public:
  void use(const StreamWrite& write) {
    if (write_ == &write) return;
    write_ = &write;
    stream_.reset();
  }
  bool readAt(std::int64_t offset, std::span<unsigned char> out) override {
    if (!stream_ || offset < offset_) {
      stream_ = write_->open();
      offset_ = 0;
      if (!stream_) return false;
    }
    skipped_.resize(kBufferLength);
    while (offset_ < offset) {
      const auto size = static_cast<std::size_t>(
          std::min<std::int64_t>(offset - offset_, static_cast<std::int64_t>(kBufferLength)));
      if (!next({skipped_.data(), size})) return false;
    }
    return next(out);
  }

 private:
  bool next(std::span<unsigned char> out) {
    const auto made = stream_->read(out);
    if (!made || *made != out.size()) return false;
    offset_ += static_cast<std::int64_t>(out.size());
    return true;
  }

  const StreamWrite* write_ = nullptr;
  std::unique_ptr<ByteStream> stream_;
  std::int64_t offset_ = 0;
  std::vector<unsigned char> skipped_;
};

// The bytes a new file's group is told by: its first, middle and last 64.
std::optional<std::string> sampleOf(const platform::File& file, std::int64_t length) {
  constexpr std::int64_t kSample = 64;
  std::string sample;
  std::array<unsigned char, kSample> bytes{};
  for (const std::int64_t at : {std::int64_t{0}, (length - kSample) / 2, length - kSample}) {
    const std::int64_t from = std::max<std::int64_t>(at, 0);
    const auto size = static_cast<std::size_t>(std::min(kSample, length - from));
    if (file.readAt(from, {bytes.data(), size}) != size) return std::nullopt;
    sample.append(asText(bytes.data(), size));
  }
  return sample;
}

class DeltaEncoder {
 public:
  DeltaEncoder(const platform::File& image, const ImageChanges& changes,
               const LocalFileOpener& open, platform::File& out)
      : image_(image),
        changes_(changes),
        open_(open),
        out_(out),
        alignment_(platform::kernelCopyAlignment(out)),
        matcher_(image),
        group_(changes.files.size()),
        repeated_(changes.files.size()),
        resembles_(changes.files.size()) {}

  PatchResult run(std::int64_t imageLength) {
    imageLength_ = imageLength;
    const auto target = describeTarget(imageLength, changes_);
    if (!target || !out_.put(kFileHeader) || !groupNewFiles()) return {failure_, 0};
    std::vector<Span> spans;
    auto piece = target->begin();
    std::int64_t position = 0;
    while (piece != target->end()) {
      const std::int64_t limit = position + kPatchWindowTarget;
      spans.clear();
      laidOut_.clear();
      while (piece != target->end() && position < limit &&
             spans.size() + kFewestFreePieces <= kWindowPieces) {
        Span cut{position, piece->second};
        cut.piece.offset += position - piece->first;
        cut.piece.end = std::min(piece->second.end, limit);
        const auto reached = lay(cut, spans);
        if (!reached) return {failure_, 0};
        position = *reached;
        if (position == piece->second.end) ++piece;
      }
      if (!writeWindow(spans)) return {failure_, 0};
    }
    if (!closeLocal() || !duplicatesUnchanged() || !out_.flush()) return {failure_, 0};
    return {{WriteOutcome::kWritten, ""}, out_.size()};
  }

 private:
  // Where a stretch of a local file or a stream was laid out in this window.
  struct LaidOut {
    std::int64_t offset = 0;  ///< in the file or stream
    std::int64_t end = 0;
    std::int64_t target = 0;  ///< where its first byte lies in the target
  };
  using Key = std::pair<Source, std::size_t>;

  // Adds `cut` to the window, as it is or, for a local file or a stream,
  // as COPYs of what it shares with an earlier copy in the window or with
  // the bytes it replaces. Returns how far the spans reach (less than the
  // cut's end when the window's pieces ran out); no value on failure.
  std::optional<std::int64_t> lay(const Span& cut, std::vector<Span>& spans) {
    const Source source = cut.piece.source;
    if (source != Source::kLocalFile && source != Source::kStream) {
      spans.push_back(cut);
      return cut.piece.end;
    }
    const bool repeated = repeats(cut.piece);
    if (repeated && fromTarget(cut, spans)) return cut.piece.end;
    std::optional<std::int64_t> reached = cut.piece.end;
    const auto old = replacedFor(cut);
    const std::optional<bool> search = old ? searched(cut.piece.index, source, *old) : false;
    if (!search) return std::nullopt;
    if (*search) {
      reached = layMatches(cut, *old, spans);
    } else {
      spans.push_back(cut);
    }
    if (reached && repeated) {
      laidOut_[{source, keyOf(cut.piece)}].push_back(
          {cut.piece.offset, cut.piece.offset + *reached - cut.begin, cut.begin});
    }
    return reached;
  }

  // Whether the bytes of a piece's write go into the target more than once:
  // at several positions, or as several new files.
  bool repeats(const Piece& piece) const {
    return piece.source == Source::kLocalFile ? repeated_[piece.index]
                                              : changes_.streams[piece.index].positions.size() > 1;
  }

  // A new file with the same bytes as an earlier one is told by that one's index.
  std::size_t keyOf(const Piece& piece) const {
    return piece.source == Source::kLocalFile ? group_[piece.index] : piece.index;
  }

  // `cut` as a COPY of the window's own target, where an earlier copy of
  // the same bytes lies whole.
  bool fromTarget(const Span& cut, std::vector<Span>& spans) const {
    const auto found = laidOut_.find({cut.piece.source, keyOf(cut.piece)});
    if (found == laidOut_.end()) return false;
    const std::int64_t offset = cut.piece.offset;
    for (const LaidOut& earlier : found->second) {
      if (earlier.offset > offset || earlier.end < offset + cut.length()) continue;
      spans.push_back(
          {cut.begin,
           {cut.piece.end, Source::kTarget, 0, earlier.target + offset - earlier.offset}});
      return true;
    }
    return false;
  }

  // The bytes the write of `cut` replaces, the copy nearest to where this
  // copy of it goes (in place: its own), as far as the image holds them. No
  // value for a new entry, or one too short to match.
  std::optional<ImageStretch> replacedFor(const Span& cut) const {
    const ReplacedBytes& replaced = cut.piece.source == Source::kLocalFile
                                        ? changes_.files[cut.piece.index].replaced
                                        : changes_.streams[cut.piece.index].replaced;
    if (replaced.positions.empty()) return std::nullopt;
    const std::int64_t writtenAt = cut.begin - cut.piece.offset;
    const auto distance = [&](std::int64_t position) {
      return position > writtenAt ? position - writtenAt : writtenAt - position;
    };
    const std::int64_t begin = *std::min_element(
        replaced.positions.begin(), replaced.positions.end(),
        [&](std::int64_t a, std::int64_t b) { return distance(a) < distance(b); });
    if (begin < 0 || begin >= imageLength_) return std::nullopt;
    const std::int64_t length = std::min({replaced.length, imageLength_ - begin, kLargestStretch});
    if (length < kMatchWindow) return std::nullopt;
    return ImageStretch{begin, length};
  }

  // Whether write `index` is searched for its old bytes: a stream (a
  // directory) always, a local file unless it is long and written anew.
  std::optional<bool> searched(std::size_t index, Source source, const ImageStretch& old) {
    if (source == Source::kStream || changes_.files[index].length < kSampledFrom) return true;
    std::optional<bool>& known = resembles_[index];
    if (known) return known;
    const platform::File* local = openLocal(index);
    if (local == nullptr) return std::nullopt;
    LocalFileBytes bytes(*local);
    known = matcher_.resembles(bytes, changes_.files[index].length, old);
    if (!known) readFailed(source, index);
    return known;
  }

  // `cut` as the search lays it out against `old`: COPYs of the image and,
  // between them, the file's or the stream's own bytes. Returns how far it
  // reaches, as lay() does.
  std::optional<std::int64_t> layMatches(const Span& cut, const ImageStretch& old,
                                         std::vector<Span>& spans) {
    const Piece& piece = cut.piece;
    std::optional<LocalFileBytes> local;
    ByteReader* reader = &streamBytes_;
    if (piece.source == Source::kLocalFile) {
      const platform::File* file = openLocal(piece.index);
      if (file == nullptr) return std::nullopt;
      reader = &local.emplace(*file);
    } else {
      streamBytes_.use(changes_.streams[piece.index]);
    }
    runs_.clear();
    const auto reached = matcher_.match(*reader, piece.offset, piece.offset + cut.length(), old,
                                        kWindowPieces - spans.size(), runs_);
    if (!reached) {
      readFailed(piece.source, piece.index);
      return std::nullopt;
    }
    for (const MatchRun& run : runs_) {
      const std::int64_t begin = cut.begin + run.offset - piece.offset;
      spans.push_back(
          {begin, run.from ? Piece{begin + run.length, Source::kImage, 0, *run.from}
                           : Piece{begin + run.length, piece.source, piece.index, run.offset}});
    }
    return cut.begin + *reached - piece.offset;
  }

  void readFailed(Source source, std::size_t index) {
    if (source == Source::kLocalFile && local_ &&
        !local_->unchangedSince(changes_.files[index].status)) {
      changedLocal(index);
    }
  }

  // Gives each new file (one that replaces nothing) whose bytes are those
  // of an earlier new file that file's group, so that a window that holds
  // both COPYs the second from the first. Files are compared only where
  // their lengths and a sample of their bytes agree. False when a file
  // cannot be read as the plan read it.
  bool groupNewFiles() {
    std::map<std::pair<std::int64_t, std::string>, std::vector<std::size_t>> firsts;
    std::map<std::int64_t, std::size_t> byLength;
    for (std::size_t i = 0; i < group_.size(); ++i) {
      group_[i] = i;
      const LocalWriteView write = changes_.files[i];
      if (write.replaced.positions.empty() && write.length > 0) ++byLength[write.length];
    }
    for (std::size_t i = 0; i < group_.size(); ++i) {
      const LocalWriteView write = changes_.files[i];
      if (!write.replaced.positions.empty() || byLength[write.length] < 2) continue;
      const platform::File* file = openLocal(i);
      const auto sample = file ? sampleOf(*file, write.length) : std::nullopt;
      if (!sample) return false;
      std::vector<std::size_t>& same = firsts[{write.length, *sample}];
      for (const std::size_t first : same) {
        const auto bytes = open_(changes_.files[first].path);
        if (bytes && compare_(*bytes, 0, *file, 0, write.length) == Comparison::kSame) {
          group_[i] = first;
          break;
        }
      }
      if (group_[i] == i) same.push_back(i);
    }
    for (std::size_t i = 0; i < group_.size(); ++i) {
      if (changes_.files[i].positions.size() > 1 || group_[i] != i) {
        repeated_[i] = repeated_[group_[i]] = true;
      }
    }
    return true;
  }

  // A new file laid out as a COPY of another one is still as planned.
  bool duplicatesUnchanged() {
    for (std::size_t i = 0; i < group_.size(); ++i) {
      if (group_[i] != i && openLocal(i) == nullptr) return false;
    }
    return closeLocal();
  }

  bool writeWindow(const std::vector<Span>& spans) {
    const std::int64_t targetLength = spans.back().piece.end - spans.front().begin;
    WindowCode code = codeWindow(spans);
    std::string header = windowHeader(code, targetLength);
    // The spans with image bytes carried, where a large stretch of a local
    // file asks for it. Where the data begins depends on the header's
    // length, and that on the data laid out: a round or two settle it.
    // Unsettled, the window is as valid, only slower to write.
    std::vector<Span> laid;
    const bool align = alignment_ > 0 && std::any_of(spans.begin(), spans.end(), movable);
    for (int round = 0; round < 3 && align; ++round) {
      laid =
          alignLocalData(spans, out_.size() + static_cast<std::int64_t>(header.size()), alignment_);
      code = codeWindow(laid);
      std::string next = windowHeader(code, targetLength);
      const bool settled = next.size() == header.size();
      header = std::move(next);
      if (settled) break;
    }
    if (!out_.put(header)) return false;
    for (const Span& span : align ? laid : spans) {
      if (!writeData(span)) return false;
    }
    return out_.put(code.instructions) && out_.put(code.addresses);
  }

  bool writeData(const Span& span) {
    const Piece& piece = span.piece;
    switch (piece.source) {
      case Source::kImage:
      case Source::kTarget:
        reportProgress(span.length());
        return true;
      case Source::kImageData:
        return out_.copyFrom(image_, piece.offset, span.length());
      case Source::kZeros:
        reportProgress(span.length());
        return out_.put(std::string_view("\0", 1));
      case Source::kBytes: {
        const std::string& bytes = changes_.bytes[piece.index].bytes;
        reportProgress(span.length());
        return out_.put(std::string_view(bytes).substr(static_cast<std::size_t>(piece.offset),
                                                       static_cast<std::size_t>(span.length())));
      }
      case Source::kStream:
        return writeStreamData(piece.index, piece.offset, span.length());
      case Source::kLocalFile:
        break;
    }
    const platform::File* local = openLocal(piece.index);
    if (local == nullptr) return false;
    if (span.length() < kBufferedData) {
      const auto size = static_cast<std::size_t>(span.length());
      if (const unsigned char* bytes = localData_.view(piece.offset, size)) {
        reportProgress(span.length());
        return out_.put(asText(bytes, size));
      }
    } else if (out_.copyFrom(*local, piece.offset, span.length())) {
      return true;
    }
    if (!local->unchangedSince(changes_.files[piece.index].status)) changedLocal(piece.index);
    return false;
  }

  // `length` bytes of stream `index` from `offset` on.
  bool writeStreamData(std::size_t index, std::int64_t offset, std::int64_t length) {
    constexpr auto kPiece = static_cast<std::int64_t>(kBufferLength);
    streamData_.use(changes_.streams[index]);
    std::vector<unsigned char> piece(kBufferLength);
    for (std::int64_t done = 0; done < length;) {
      const auto size = static_cast<std::size_t>(std::min(length - done, kPiece));
      if (!streamData_.readAt(offset + done, {piece.data(), size}) ||
          !out_.put(asText(piece.data(), size))) {
        return false;
      }
      done += static_cast<std::int64_t>(size);
    }
    reportProgress(length);
    return true;
  }

  // The local file of write `index`, checked against the plan when it is
  // opened and again when the next one is.
  const platform::File* openLocal(std::size_t index) {
    if (local_ && localIndex_ == index) return &*local_;
    if (!closeLocal()) return nullptr;
    local_ = open_(changes_.files[index].path);
    localIndex_ = index;
    if (local_ && local_->unchangedSince(changes_.files[index].status)) {
      localData_.attach(&*local_, 0, changes_.files[index].length);
      return &*local_;
    }
    changedLocal(index);
    return nullptr;
  }

  bool closeLocal() {
    if (!local_) return true;
    const bool same = local_->unchangedSince(changes_.files[localIndex_].status);
    local_.reset();
    localData_.attach(nullptr, 0, 0);
    if (!same) changedLocal(localIndex_);
    return same;
  }

  void changedLocal(std::size_t index) {
    local_.reset();
    localData_.attach(nullptr, 0, 0);
    failure_ = {WriteOutcome::kLocalFileChanged, changes_.files[index].path};
  }

  const platform::File& image_;
  const ImageChanges& changes_;
  const LocalFileOpener& open_;
  DeltaOutput out_;
  const std::int64_t alignment_;
  std::int64_t imageLength_ = 0;
  std::optional<platform::File> local_;
  std::size_t localIndex_ = 0;
  FileWindow localData_;  ///< small stretches of local_ on their way into the delta
  StreamBytes streamData_;
  StreamBytes streamBytes_;  ///< the search's own reading of a stream
  DeltaMatcher matcher_;
  std::vector<MatchRun> runs_;
  ByteComparer compare_;
  std::vector<std::size_t> group_;               ///< by local file: see groupNewFiles
  std::vector<bool> repeated_;                   ///< by local file: see repeats()
  std::vector<std::optional<bool>> resembles_;   ///< by local file, once sampled
  std::map<Key, std::vector<LaidOut>> laidOut_;  ///< in the window being laid out
  WriteResult failure_;
};

}  // namespace

PatchResult encodeChanges(const platform::File& image, std::int64_t imageLength,
                          const ImageChanges& changes, const LocalFileOpener& open,
                          platform::File& out) {
  return DeltaEncoder(image, changes, open, out).run(imageLength);
}

bool patchOutputRefused(const OutputFile& output, const ImageFile& image) {
  return output.isImage(image) || output.notRegular() || output.isDirectory();
}

PatchResult writeChangesPatch(const ImageFile& image, const LocalFileOpener& open,
                              const ImageChanges& changes, const OutputPlace& place) {
  OutputFile output = locateOutputFile(place);
  if (!output.directory || patchOutputRefused(output, image)) return {};
  const auto imageLength = image.length();
  auto pending = output.directory->createPending();
  if (!imageLength || !pending) return {};
  PatchResult result = encodeChanges(image.file(), *imageLength, changes, open, pending->file());
  if (result.write.outcome == WriteOutcome::kFailed)
    result.write.error = pending->file().writeError();
  if (result.write.outcome != WriteOutcome::kWritten) return result;
  if (!output.stillReplaceable() || !pending->commit(output.name, output.existing)) return {};
  return result;
}

std::string patchWrittenMessage(const std::string& patchPath, std::int64_t size) {
  return "New patch written to " + patchPath + " (" + std::to_string(size) + " bytes)\n";
}

}  // namespace discshell
