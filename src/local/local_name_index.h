// Which entry a local name means. In each directory, the local name L means
// the first entry in walk order whose local name is L, under the folder's
// letter-case rule: the entry x extracts to L, and every later entry of the
// same local name is one x leaves alone ("a/b" and a literal "a%2Fb" share
// the local name "a%2Fb": the first of them has it). x, u, r, m, i, e, n and
// the mount all go by this rule, through the key below and one of two forms
// of the same index:
//
// - FirstNames, for walks that meet a directory's entries in order (x, m,
//   the mount's first walk): whether each entry is the first of its key, at
//   4 bytes an entry while the directory is entered;
// - DirectoryNameIndex, for lookups by name (i, e and n through the pending
//   view; the mount's lookups and listings): the entry a local name means,
//   and the entries of an exact name, at 8 bytes an entry.
//
// u and r claim each local folder's names in walk order (local_tree.h's
// LocalNames), by the same key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volume/byte_source.h"
#include "volume/directory.h"
#include "volume/geometry.h"

namespace discshell {

/// The key under which a folder files the local name `local`: the name
/// itself, or in one letter case where the folder folds case.
[[nodiscard]] std::string nameKey(std::string_view local, bool foldsCase);

/// What x says of an entry that a later entry's local name takes after the
/// entry `earlier`: the same name is a duplicate, another name the same file.
[[nodiscard]] std::string takenNameMessage(std::string_view name, std::string_view earlier);

/// Which entries of the directories a tree walk is in take a local file
/// that an earlier entry of the same directory took. Exact, and small:
/// entering a directory walks its entries once and keeps only the hashes
/// that come more than once, so a directory of a million different names
/// costs 4 MiB while it is entered and next to nothing while it is walked;
/// where two entries share a hash, the earlier one's name is read again
/// from the image.
class FirstNames {
 public:
  /// Starts outside any directory: the entry a walk starts from is alone.
  /// Tests narrow `hashBits` to make different names share hashes.
  FirstNames(const ByteSource& image, const VolumeGeometry& geometry,
             std::uint32_t hashBits = 0xFFFFFFFF);
  /// The walk enters the directory at `directoryOffset`; `foldsCase` says
  /// how its local folder compares names.
  void enter(std::int32_t directoryOffset, bool foldsCase);
  /// The walk leaves it.
  void leave();
  /// No value the first time the local name `local` of `entry` (its name
  /// as localName gives it) is met in the current directory; else the name
  /// of the earlier entry that took it.
  [[nodiscard]] std::optional<std::string> earlier(const DirectoryEntry& entry,
                                                   std::string_view local);
  /// Whether the current directory's folder folds case.
  [[nodiscard]] bool foldsCase() const { return levels_.back().foldsCase; }

 private:
  static constexpr std::int32_t kNotMet = -1;
  // A hash that more than one entry of the directory has, and the record of
  // the first entry met with it.
  struct Suspect {
    std::uint32_t hash = 0;
    std::int32_t first = kNotMet;
  };
  struct Level {
    std::vector<Suspect> suspects;  ///< sorted by hash
    std::vector<Suspect> others;    ///< the first entries of further keys with a suspect's hash
    bool foldsCase = false;
  };
  const ByteSource& image_;
  const VolumeGeometry& geometry_;
  std::uint32_t hashBits_;
  std::vector<Level> levels_{1};
};

/// The names of one directory of the image, for lookups: each entry's key
/// hash beside its record's position, sorted, so that a lookup is a binary
/// search and a read of the few names that share its hash.
class DirectoryNameIndex {
 public:
  /// Asked, as the index grows, whether it may take `bytes`.
  using Room = std::function<bool(std::size_t bytes)>;
  /// Walks the directory at `directory` once. Gives up, leaving `complete()`
  /// false, once `room` refuses the bytes it would take.
  DirectoryNameIndex(const ByteSource& image, const VolumeGeometry& geometry,
                     std::int32_t directory, bool foldsCase, const Room& room = nullptr,
                     std::uint32_t hashBits = 0xFFFFFFFF);
  [[nodiscard]] bool complete() const { return complete_; }
  [[nodiscard]] std::int32_t directory() const { return directory_; }
  [[nodiscard]] bool foldsCase() const { return foldsCase_; }
  [[nodiscard]] std::size_t bytes() const;

  /// The record of the entry the local name `local` means; no value when
  /// no entry has that local name.
  [[nodiscard]] std::optional<std::int32_t> find(const ByteSource& image,
                                                 std::string_view local) const;
  /// Whether `entry`, a record of this directory, is the entry its local
  /// name means (no later entry of a local name is).
  [[nodiscard]] bool isFirst(const ByteSource& image, const DirectoryEntry& entry) const;
  /// The records of the entries whose local name is `local`, in walk order:
  /// the first is the one it means.
  [[nodiscard]] std::vector<std::int32_t> withLocalName(const ByteSource& image,
                                                        std::string_view local) const;
  /// The records of the entries named exactly `name`, in walk order.
  [[nodiscard]] std::vector<std::int32_t> named(const ByteSource& image,
                                                std::string_view name) const;

 private:
  [[nodiscard]] std::uint32_t hashOf(std::string_view entryName) const;
  /// The records whose key has `hash`, in walk order.
  template <typename Visit>
  void candidates(std::uint32_t hash, Visit visit) const;
  std::int32_t directory_ = 0;
  bool foldsCase_ = false;
  bool complete_ = false;
  std::uint32_t hashBits_ = 0xFFFFFFFF;
  std::deque<std::uint64_t> keys_;  ///< hash << 32 | record position, sorted
};

/// The name indexes of the directories looked in last, within a bound on
/// their bytes: a thousand lookups in a directory of 100,000 entries cost
/// one walk of it, not a thousand. A directory whose index alone would pass
/// the bound gets none (its lookups walk it), and is remembered as such.
class RecentNameIndexes {
 public:
  explicit RecentNameIndexes(std::size_t byteLimit) : byteLimit_(byteLimit) {}
  /// The index of the directory at `directory`, built on first use and
  /// valid until the next call; null when it would pass the bound.
  [[nodiscard]] const DirectoryNameIndex* of(const ByteSource& image,
                                             const VolumeGeometry& geometry, std::int32_t directory,
                                             bool foldsCase);
  /// Forgets every index (the image changed under them).
  void clear();
  [[nodiscard]] std::size_t bytes() const { return bytes_; }

 private:
  std::size_t byteLimit_;
  std::size_t bytes_ = 0;
  std::list<DirectoryNameIndex> kept_;                   ///< the one used last first
  std::vector<std::pair<std::int32_t, bool>> tooLarge_;  ///< the latest last (a few)
};

}  // namespace discshell
