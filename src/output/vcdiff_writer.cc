#include "output/vcdiff_writer.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "bytes/copy.h"
#include "bytes/progress.h"
#include "output/output_file.h"

namespace discshell {
namespace {

// The file's header: "VCD" with the high bits set, version 0, and an
// indicator of 0: no secondary compressor, no code table of its own.
constexpr std::string_view kFileHeader{"\xD6\xC3\xC4\x00\x00", 5};
constexpr char kWindowHasSource = 0x01;
// Instructions of the default code table, each alone: RUN (code 0, its size
// after it); ADD (1, its size after it; 2 to 18 carry the sizes 1 to 17);
// COPY in mode 0, its address as it is (19, its size after it; 20 to 34
// carry the sizes 4 to 18).
constexpr unsigned char kRun = 0;
constexpr unsigned char kAdd = 1;
constexpr std::int64_t kLargestAddInCode = 17;
constexpr unsigned char kCopy = 19;
constexpr std::int64_t kSmallestCopyInCode = 4;
constexpr std::int64_t kLargestCopyInCode = 18;
// A window's instructions and addresses are built in memory: at most this
// many pieces to a window keeps them under a megabyte however the target
// is cut up (r of thousands of records in one block).
constexpr std::size_t kWindowPieces = std::size_t{1} << 15;
// Small pieces of the delta gather in a buffer of this size.
constexpr std::size_t kBufferLength = std::size_t{64} << 10;

// kImageData: bytes of the image carried in the delta as ADD data rather
// than COPYed, put there to move a local file's data that follows them to
// where the kernel copies it at full speed.
enum class Source { kImage, kImageData, kZeros, kLocalFile, kStream, kBytes };

// Where the bytes of a stretch of the target come from. The image's are at
// the same position in the image; a local file's, a stream's or a byte
// write's begin at `offset` in it.
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
  for (const LocalWrite& write : changes.files) {
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
    const LocalWrite& write = changes.files[i];
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
    return piece.source != Source::kImage && piece.source != Source::kZeros;
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
// Where the stretch in front is too short, or none, the bytes stay where
// they fall.
std::vector<Span> alignLocalData(const std::vector<Span>& spans, std::int64_t dataStart,
                                 std::int64_t alignment) {
  std::vector<Span> laid;
  laid.reserve(spans.size() + kPatchWindowTarget / kAlignedDataAtLeast);
  std::int64_t at = dataStart;
  for (const Span& span : spans) {
    if (movable(span) && !laid.empty() && laid.back().piece.source == Source::kImage) {
      const std::int64_t shift = ((span.piece.offset - at) % alignment + alignment) % alignment;
      Span& before = laid.back();
      if (shift > 0 && shift < before.length()) {
        const std::int64_t split = before.piece.end - shift;
        const Span carried{split, Piece{before.piece.end, Source::kImageData, 0, split}};
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

// A window but its data: the instructions, the COPYs' addresses, and the
// stretch of the image the COPYs read (empty when there is none).
struct WindowCode {
  std::string instructions;
  std::string addresses;
  std::int64_t dataLength = 0;
  std::int64_t sourceBegin = 0;
  std::int64_t sourceEnd = 0;
};

WindowCode codeWindow(const std::vector<Span>& spans) {
  WindowCode code;
  for (const Span& span : spans) {
    if (span.piece.source != Source::kImage) continue;
    if (code.sourceEnd == code.sourceBegin) code.sourceBegin = span.begin;
    code.sourceEnd = span.piece.end;
  }
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
    } else if (size >= kSmallestCopyInCode && size <= kLargestCopyInCode) {
      out.push_back(static_cast<char>(kCopy + size - kSmallestCopyInCode + 1));
      putInteger(code.addresses, static_cast<std::uint64_t>(span.begin - code.sourceBegin));
    } else {
      out.push_back(static_cast<char>(kCopy));
      putInteger(out, static_cast<std::uint64_t>(size));
      putInteger(code.addresses, static_cast<std::uint64_t>(span.begin - code.sourceBegin));
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

class DeltaEncoder {
 public:
  DeltaEncoder(const platform::File& image, const ImageChanges& changes,
               const LocalFileOpener& open, platform::File& out)
      : image_(image),
        changes_(changes),
        open_(open),
        out_(out),
        alignment_(platform::kernelCopyAlignment(out)) {}

  PatchResult run(std::int64_t imageLength) {
    const auto target = describeTarget(imageLength, changes_);
    if (!target || !out_.put(kFileHeader)) return {};
    std::vector<Span> spans;
    auto piece = target->begin();
    std::int64_t position = 0;
    while (piece != target->end()) {
      const std::int64_t limit = position + kPatchWindowTarget;
      spans.clear();
      while (piece != target->end() && position < limit && spans.size() < kWindowPieces) {
        spans.push_back({position, piece->second});
        if (piece->first < position) spans.back().piece.offset += position - piece->first;
        spans.back().piece.end = std::min(piece->second.end, limit);
        position = spans.back().piece.end;
        if (position == piece->second.end) ++piece;
      }
      if (!writeWindow(spans)) return {failure_, 0};
    }
    if (!closeLocal() || !out_.flush()) return {failure_, 0};
    return {{WriteOutcome::kWritten, ""}, out_.size()};
  }

 private:
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
        reportProgress(span.length());
        return true;
      case Source::kImageData:
        return out_.copyFrom(image_, span.begin, span.length());
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
    if (out_.copyFrom(*local, piece.offset, span.length())) return true;
    if (!local->unchangedSince(changes_.files[piece.index].status)) changedLocal(piece.index);
    return false;
  }

  // `length` bytes of stream `index` from `offset` on. The stream is read on
  // from where the last piece left it, and opened afresh only when a piece
  // starts before that (the next copy of the same bytes).
  bool writeStreamData(std::size_t index, std::int64_t offset, std::int64_t length) {
    if (!stream_ || streamIndex_ != index || offset < streamOffset_) {
      stream_ = changes_.streams[index].open();
      streamIndex_ = index;
      streamOffset_ = 0;
      if (!stream_) return false;
    }
    constexpr auto kPiece = static_cast<std::int64_t>(kBufferLength);
    std::vector<unsigned char> piece(kBufferLength);
    // Reads the next `want` bytes of the stream; `keep` puts them in the delta.
    const auto next = [&](std::int64_t want, bool keep) {
      const auto size = static_cast<std::size_t>(want);
      const auto made = stream_->read({piece.data(), size});
      if (!made || *made != size) return false;
      streamOffset_ += want;
      return !keep || out_.put({reinterpret_cast<const char*>(piece.data()), size});
    };
    while (streamOffset_ < offset) {
      if (!next(std::min(offset - streamOffset_, kPiece), false)) return false;
    }
    for (std::int64_t done = 0; done < length;) {
      const std::int64_t want = std::min(length - done, kPiece);
      if (!next(want, true)) return false;
      done += want;
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
    if (local_ && local_->unchangedSince(changes_.files[index].status)) return &*local_;
    changedLocal(index);
    return nullptr;
  }

  bool closeLocal() {
    if (!local_) return true;
    const bool same = local_->unchangedSince(changes_.files[localIndex_].status);
    local_.reset();
    if (!same) changedLocal(localIndex_);
    return same;
  }

  void changedLocal(std::size_t index) {
    local_.reset();
    failure_ = {WriteOutcome::kLocalFileChanged, changes_.files[index].path};
  }

  const platform::File& image_;
  const ImageChanges& changes_;
  const LocalFileOpener& open_;
  DeltaOutput out_;
  const std::int64_t alignment_;
  std::optional<platform::File> local_;
  std::size_t localIndex_ = 0;
  std::unique_ptr<ByteStream> stream_;
  std::size_t streamIndex_ = 0;
  std::int64_t streamOffset_ = 0;
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
