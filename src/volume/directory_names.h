// The names of one directory, for a walk of another to look them up in, or
// for a second walk of the same one to tell its repeated names: small enough
// for a directory of a million entries, and exact.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "volume/directory.h"

namespace discshell {

/// Every entry of a directory as the 32-bit hash of its name beside its
/// record's position, sorted, with a table of where each run of hashes
/// begins: about 8.5 bytes an entry and no allocation per name. A hash says
/// only which entries may bear a name; the name is read again from the
/// image to be sure, so two names that share a hash are still told apart.
/// Each entry has a slot, and each slot two marks the caller sets.
class DirectoryNames {
 public:
  /// Walks the directory at `offset` once. `hashBits` narrows the hashes,
  /// for the tests to make different names share them.
  DirectoryNames(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t offset,
                 std::uint32_t hashBits = 0xFFFFFFFF);

  /// The slot of the first entry of the directory named `name`, and its
  /// record as `reader` reads it; no value when no entry bears the name.
  struct Found {
    std::size_t slot = 0;
    DirectoryEntry entry;
  };
  [[nodiscard]] std::optional<Found> first(WindowedReader& reader, std::string_view name) const;
  /// Whether more than one entry may bear a name whose hashName is
  /// `nameHash`: false when no two entries' names share that hash.
  [[nodiscard]] bool mayRepeat(std::uint32_t nameHash) const {
    const std::uint32_t hash = nameHash & hashBits_;
    return repeatedBits_[hash & kBitMask] &&
           std::binary_search(repeatedHashes_.begin(), repeatedHashes_.end(), hash);
  }
  /// The slot of the entry whose record lies at `recordPosition`, named
  /// `name`; no value when the directory holds none there.
  [[nodiscard]] std::optional<std::size_t> slotOf(std::string_view name,
                                                  std::int32_t recordPosition) const;

  /// What the caller made of a slot's entry: it found its match, or took
  /// it for something else (a rename's new name).
  void markMatched(std::size_t slot) { matched_[slot] = true; }
  [[nodiscard]] bool matched(std::size_t slot) const { return matched_[slot]; }
  void markTaken(std::size_t slot) { taken_[slot] = true; }
  [[nodiscard]] bool taken(std::size_t slot) const { return taken_[slot]; }

 private:
  /// The slots whose hash is `hash`: [first, last).
  [[nodiscard]] std::pair<std::size_t, std::size_t> slotsOf(std::uint32_t hash) const;
  /// The run of the table that holds `hash`: its top bits.
  [[nodiscard]] std::size_t runOf(std::uint32_t hash) const;
  [[nodiscard]] std::uint32_t hash(std::string_view name) const {
    return hashName(name) & hashBits_;
  }
  const VolumeGeometry& geometry_;
  std::uint32_t hashBits_;
  std::deque<std::uint64_t> keys_;             ///< hash << 32 | record position, sorted
  std::vector<std::uint32_t> runStarts_;       ///< the first key of each run, and the end
  int runBits_ = 0;                            ///< the top bits of a hash that pick its run
  std::vector<std::uint32_t> repeatedHashes_;  ///< that more than one key has, sorted
  /// Repeated hashes are looked for in a bitmap of their low bits first.
  static constexpr std::uint32_t kBitMask = 0xFFFF;
  std::vector<bool> repeatedBits_ = std::vector<bool>(kBitMask + 1);
  std::vector<bool> matched_;
  std::vector<bool> taken_;
};

/// Which entries of one directory bear a name that an earlier entry bears:
/// exact, in 4 bytes a name while it walks the directory and afterwards only
/// the hashes that more than one name has; where two entries share a hash,
/// the earlier one's name is read again. Entries are asked about in walk
/// order, and may be asked again in a second walk with the same answers.
class LaterNames {
 public:
  /// Walks the directory at `offset` once. `hashBits` as for DirectoryNames.
  LaterNames(const ByteSource& image, const VolumeGeometry& geometry, std::int32_t offset,
             std::uint32_t hashBits = 0xFFFFFFFF);

  /// Why the walk of the directory ended, and where.
  [[nodiscard]] WalkEnd walkEnd() const { return walkEnd_; }
  [[nodiscard]] std::int32_t endPosition() const { return endPosition_; }

  /// Whether an earlier entry of the directory bears `name`, the name of
  /// the entry whose record lies at `recordPosition`; `nameHash` is its
  /// hashName.
  [[nodiscard]] bool isLater(WindowedReader& reader, std::string_view name,
                             std::int32_t recordPosition, std::uint32_t nameHash);

 private:
  static constexpr std::int32_t kNotMet = -1;
  // Suspects are looked for in a bitmap of their low bits first.
  static constexpr std::uint32_t kBitMask = 0xFFFF;
  struct Suspect {
    std::uint32_t hash = 0;
    std::int32_t first = kNotMet;  ///< the record of the first entry met with the hash
  };
  [[nodiscard]] bool named(WindowedReader& reader, std::int32_t record,
                           std::string_view name) const;
  const VolumeGeometry& geometry_;
  std::uint32_t hashBits_;
  std::vector<Suspect> suspects_;  ///< hashes more than one entry has, sorted
  std::vector<bool> suspectBits_ = std::vector<bool>(kBitMask + 1);
  std::vector<Suspect> others_;  ///< the first entries of further names with a suspect's hash
  WalkEnd walkEnd_ = WalkEnd::kRunning;
  std::int32_t endPosition_ = 0;
};

}  // namespace discshell
