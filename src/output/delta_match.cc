#include "output/delta_match.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace discshell {
namespace {

// A random word for each byte value (splitmix64), fixed so that a delta is
// the same from one run to the next.
constexpr std::array<std::uint64_t, 256> makeGear() {
  std::array<std::uint64_t, 256> gear{};
  std::uint64_t state = 0;
  for (std::uint64_t& word : gear) {
    state += 0x9E3779B97F4A7C15u;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    word = z ^ (z >> 31);
  }
  return gear;
}
constexpr std::array<std::uint64_t, 256> kGear = makeGear();

// Shifted two bits a byte, a byte's word has left the 64 bits 32 bytes
// later: the hash covers exactly the last kMatchWindow bytes, and its upper
// half depends on every one of them.
inline std::uint64_t roll(std::uint64_t hash, unsigned char byte) {
  return (hash << 2) + kGear[byte];
}
static_assert(kMatchWindow * 2 == 64);

// The hash of the kMatchWindow bytes at `bytes`, as rolling over them from
// 0 makes it; summed term by term, each shift a constant, so the processor
// works on many terms at once.
template <std::size_t... I>
std::uint64_t sumOfTerms(const unsigned char* bytes, std::index_sequence<I...>) {
  return ((kGear[bytes[I]] << (2 * (kMatchWindow - 1 - static_cast<std::int64_t>(I)))) + ...);
}
std::uint64_t hashOf(const unsigned char* bytes) {
  return sumOfTerms(bytes, std::make_index_sequence<kMatchWindow>());
}

// How many of the `size` bytes at `a` and `b` agree before the first that
// differs, eight at a time.
std::size_t commonPrefix(const unsigned char* a, const unsigned char* b, std::size_t size) {
  std::size_t same = 0;
  for (; same + 8 <= size; same += 8) {
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    std::memcpy(&left, a + same, 8);
    std::memcpy(&right, b + same, 8);
    if (left != right) break;
  }
  while (same < size && a[same] == b[same]) ++same;
  return same;
}

// The most blocks an index holds, in twice as many slots of 8 bytes (4 MiB):
// an entry beyond 8 MiB gets blocks longer than kMatchWindow.
constexpr std::int64_t kMostBlocks = std::int64_t{1} << 18;
// How far a slot's neighbours are tried before a block is left out.
constexpr std::size_t kProbes = 8;
// How many blocks are hashed before their slots are filled.
constexpr std::int64_t kIndexBatch = 1024;
// The new bytes held: those still to be searched and up to kLookback behind
// them, for growing a match backwards. A match grows forwards kGrowth bytes
// at a time.
constexpr std::size_t kNewBuffer = std::size_t{128} << 10;
constexpr std::int64_t kLookback = std::int64_t{64} << 10;
constexpr std::int64_t kGrowth = std::int64_t{16} << 10;
constexpr std::int64_t kGrowthBack = 64;
// resembles(): how many samples, and how far from its own place each is
// looked for.
constexpr std::int64_t kSamples = 8;
constexpr std::int64_t kSampleReach = 256;

std::uint32_t checkOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

}  // namespace

void FileWindow::attach(const platform::File* file, std::int64_t begin, std::int64_t length) {
  file_ = file;
  begin_ = begin;
  length_ = std::max<std::int64_t>(length, 0);
  bufferAt_ = 0;
  filled_ = 0;
}

const unsigned char* FileWindow::view(std::int64_t at, std::size_t size, bool backward) {
  const auto wanted = static_cast<std::int64_t>(size);
  if (file_ == nullptr || at < 0 || size > capacity_ || at + wanted > length_) return nullptr;
  if (at >= bufferAt_ && at + wanted <= bufferAt_ + static_cast<std::int64_t>(filled_)) {
    return buffer_.data() + (at - bufferAt_);
  }
  const auto capacity = static_cast<std::int64_t>(capacity_);
  const std::int64_t start = backward ? std::max<std::int64_t>(at + wanted - capacity, 0) : at;
  const auto fill = static_cast<std::size_t>(std::min(capacity, length_ - start));
  buffer_.resize(capacity_);
  bufferAt_ = start;
  filled_ = file_->readAt(begin_ + start, {buffer_.data(), fill});
  if (at + wanted > bufferAt_ + static_cast<std::int64_t>(filled_)) return nullptr;
  return buffer_.data() + (at - bufferAt_);
}

bool DeltaMatcher::index(const ImageStretch& old) {
  if (indexed_ == old) return true;
  indexed_ = old;
  old_.attach(&image_, old.begin, old.length);
  spacing_ = std::max(kMatchWindow, (old.length + kMostBlocks - 1) / kMostBlocks);
  const std::int64_t blocks =
      old.length < kMatchWindow ? 0 : (old.length - kMatchWindow) / spacing_ + 1;
  std::size_t slots = 64;
  slotShift_ = 58;
  while (static_cast<std::int64_t>(slots) < 2 * blocks) {
    slots *= 2;
    --slotShift_;
  }
  slots_.assign(slots, 0);
  // The hashes of a batch of blocks first, then their slots: the slots'
  // cache misses then overlap.
  std::array<std::uint64_t, static_cast<std::size_t>(kIndexBatch)> hashes{};
  for (std::int64_t first = 0; first < blocks; first += kIndexBatch) {
    const std::int64_t count = std::min(kIndexBatch, blocks - first);
    for (std::int64_t i = 0; i < count; ++i) {
      const unsigned char* bytes = old_.view((first + i) * spacing_, kMatchWindow);
      if (bytes == nullptr) {
        // Unreadable: nothing of this stretch is copied.
        std::fill(slots_.begin(), slots_.end(), 0);
        return false;
      }
      hashes[static_cast<std::size_t>(i)] = hashOf(bytes);
    }
    for (std::int64_t i = 0; i < count; ++i) {
      insert(hashes[static_cast<std::size_t>(i)], (first + i) * spacing_);
    }
  }
  return true;
}

void DeltaMatcher::insert(std::uint64_t hash, std::int64_t offset) {
  const std::uint64_t entry =
      std::uint64_t{checkOf(hash)} << 32 | static_cast<std::uint64_t>(offset + 1);
  for (std::size_t probe = 0; probe < kProbes; ++probe) {
    std::uint64_t& slot = slots_[((hash >> slotShift_) + probe) & (slots_.size() - 1)];
    if (slot == 0) slot = entry;
    // The first block of each content is kept: a run of zeros is one block.
    if (slot >> 32 == entry >> 32) return;
  }
}

std::optional<std::int64_t> DeltaMatcher::find(std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t check = checkOf(hash);
  for (std::size_t probe = 0; probe < kProbes; ++probe) {
    const std::uint64_t slot = slots_[((hash >> slotShift_) + probe) & mask];
    if (slot == 0) return std::nullopt;
    if (slot >> 32 == check) return static_cast<std::int64_t>(slot & 0xFFFFFFFFu) - 1;
  }
  return std::nullopt;
}

// One call of match(): the new bytes held in newBytes_ from start_ to end_,
// the search at position_, and the bytes from addStart_ on not yet put in
// a run (they become an ADD unless a match reaches back over them).
class DeltaMatcher::Scan {
 public:
  Scan(DeltaMatcher& matcher, ByteReader& reader, std::int64_t from, std::int64_t to,
       const ImageStretch& old, std::size_t maxRuns, std::vector<MatchRun>& runs)
      : matcher_(matcher),
        reader_(reader),
        to_(to),
        old_(old),
        maxRuns_(maxRuns),
        runs_(runs),
        start_(from),
        end_(from),
        position_(from),
        addStart_(from) {}

  std::optional<std::int64_t> run() {
    matcher_.newBytes_.resize(kNewBuffer);
    if (matcher_.lastShift_) tryMatch(position_, position_ + *matcher_.lastShift_);
    while (!failed_ && emitted_ + 3 <= maxRuns_ && to_ - position_ >= kMatchWindow) {
      if (!search()) break;
    }
    if (failed_) return std::nullopt;
    const std::int64_t reached = emitted_ + 3 <= maxRuns_ ? to_ : position_;
    addUpTo(reached);
    return reached;
  }

 private:
  // Rolls the hash from position_ on until a block of the old bytes
  // matches; false when none does before the end.
  bool search() {
    if (!fill(position_ + kMatchWindow)) return false;
    std::uint64_t hash = hashOf(at(position_));
    for (;;) {
      if (const auto offset = matcher_.find(hash); offset && tryMatch(position_, *offset))
        return true;
      if (failed_) return false;
      if (position_ + kMatchWindow >= to_) {
        position_ = to_;
        return false;
      }
      if (position_ + kMatchWindow >= end_ && !fill(position_ + kMatchWindow + 1)) return false;
      hash = roll(hash, *at(position_ + kMatchWindow));
      ++position_;
    }
  }

  // The new bytes at `offset`, which must be held.
  const unsigned char* at(std::int64_t offset) const {
    return matcher_.newBytes_.data() + (offset - start_);
  }

  // Holds the new bytes up to `until` (at most to_), dropping those more
  // than kLookback behind position_.
  bool fill(std::int64_t until) {
    if (until <= end_) return true;
    const std::int64_t keepFrom = std::max({start_, addStart_, position_ - kLookback});
    const auto kept = static_cast<std::size_t>(end_ - keepFrom);
    std::memmove(matcher_.newBytes_.data(), at(keepFrom), kept);
    start_ = keepFrom;
    const std::int64_t more =
        std::min<std::int64_t>(static_cast<std::int64_t>(kNewBuffer - kept), to_ - end_);
    if (end_ + more < until ||
        !reader_.readAt(end_, {matcher_.newBytes_.data() + kept, static_cast<std::size_t>(more)})) {
      failed_ = true;
      return false;
    }
    end_ += more;
    return true;
  }

  // A match of the new bytes at `position` with the old at `offset`: when
  // their first kMatchWindow bytes agree, it is grown both ways and put in
  // a run, behind an ADD of the bytes before it.
  bool tryMatch(std::int64_t position, std::int64_t offset) {
    if (offset < 0 || offset + kMatchWindow > old_.length || position + kMatchWindow > to_ ||
        !fill(position + kMatchWindow)) {
      return false;
    }
    const unsigned char* old = matcher_.old_.view(offset, kMatchWindow);
    if (old == nullptr || std::memcmp(old, at(position), kMatchWindow) != 0) return false;
    const std::int64_t back = growBackward(position, offset);
    addUpTo(position - back);
    const std::int64_t length = back + growForward(position, offset);
    if (failed_) return false;
    runs_.push_back({position - back, length, old_.begin + offset - back});
    ++emitted_;
    matcher_.lastShift_ = offset - position;
    position_ = addStart_ = position - back + length;
    return true;
  }

  std::int64_t growBackward(std::int64_t position, std::int64_t offset) {
    const std::int64_t limit = std::min(position - std::max(addStart_, start_), offset);
    std::int64_t back = 0;
    while (back < limit) {
      const std::int64_t size = std::min(kGrowthBack, limit - back);
      const unsigned char* old =
          matcher_.old_.view(offset - back - size, static_cast<std::size_t>(size), true);
      if (old == nullptr) break;
      const unsigned char* bytes = at(position - back - size);
      std::int64_t same = 0;
      while (same < size && bytes[size - 1 - same] == old[size - 1 - same]) ++same;
      back += same;
      if (same < size) break;
    }
    return back;
  }

  // How many bytes from `position` on agree with the old from `offset` on,
  // the first kMatchWindow known to.
  std::int64_t growForward(std::int64_t position, std::int64_t offset) {
    std::int64_t length = kMatchWindow;
    while (position + length < to_ && offset + length < old_.length) {
      const std::int64_t size =
          std::min({kGrowth, to_ - position - length, old_.length - offset - length});
      position_ = position + length;
      if (!fill(position + length + size)) break;
      const unsigned char* old =
          matcher_.old_.view(offset + length, static_cast<std::size_t>(size));
      if (old == nullptr) break;
      const unsigned char* bytes = at(position + length);
      const auto same =
          static_cast<std::int64_t>(commonPrefix(bytes, old, static_cast<std::size_t>(size)));
      length += same;
      if (same < size) break;
    }
    return length;
  }

  void addUpTo(std::int64_t end) {
    if (end <= addStart_) return;
    runs_.push_back({addStart_, end - addStart_, std::nullopt});
    ++emitted_;
    addStart_ = end;
  }

  DeltaMatcher& matcher_;
  ByteReader& reader_;
  const std::int64_t to_;
  const ImageStretch old_;
  const std::size_t maxRuns_;
  std::vector<MatchRun>& runs_;
  std::size_t emitted_ = 0;
  std::int64_t start_;
  std::int64_t end_;
  std::int64_t position_;
  std::int64_t addStart_;
  bool failed_ = false;
};

std::optional<std::int64_t> DeltaMatcher::match(ByteReader& reader, std::int64_t from,
                                                std::int64_t to, const ImageStretch& old,
                                                std::size_t maxRuns, std::vector<MatchRun>& runs) {
  if (indexed_ != old) lastShift_.reset();
  index(old);
  return Scan(*this, reader, from, to, old, maxRuns, runs).run();
}

std::optional<bool> DeltaMatcher::resembles(ByteReader& reader, std::int64_t length,
                                            const ImageStretch& old) {
  if (length < kMatchWindow || old.length < kMatchWindow) return false;
  std::array<unsigned char, kMatchWindow> sample{};
  std::array<unsigned char, 2 * kSampleReach + kMatchWindow> near{};
  const auto asText = [](const unsigned char* bytes, std::size_t size) {
    return std::string_view(reinterpret_cast<const char*>(bytes), size);
  };
  for (std::int64_t k = 0; k < kSamples; ++k) {
    const std::int64_t at = k * (length - kMatchWindow) / (kSamples - 1);
    if (!reader.readAt(at, sample)) return std::nullopt;
    for (const std::int64_t place : {at, at - (length - old.length)}) {
      const std::int64_t begin = std::clamp<std::int64_t>(place - kSampleReach, 0, old.length);
      const std::int64_t end =
          std::clamp<std::int64_t>(place + kSampleReach + kMatchWindow, 0, old.length);
      if (end - begin < kMatchWindow) continue;
      const std::size_t got =
          image_.readAt(old.begin + begin, {near.data(), static_cast<std::size_t>(end - begin)});
      if (asText(near.data(), got).find(asText(sample.data(), sample.size())) !=
          std::string_view::npos) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace discshell
