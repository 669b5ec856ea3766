// The local directories a tree command works in: entered one level at a
// time, each relative to the one above and never through a symbolic link,
// so that whatever is renamed or swapped meanwhile, nothing is read or
// written outside the directory the command started in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "volume/byte_source.h"
#include "volume/directory.h"
#include "volume/geometry.h"

namespace discshell {

class LocalTree {
 public:
  /// Starts in `top`, the directory the command works in.
  explicit LocalTree(platform::Directory top);

  /// Enters the subdirectory `name` of the current directory, making it
  /// first when `create` is set and nothing stands there. False when it
  /// cannot be entered; `found` then says what stands there (a file, a
  /// link, nothing).
  [[nodiscard]] bool enter(std::string_view name, bool create, platform::FileKind& found);
  /// Back to the directory above; never above the top.
  void leave();
  /// The length of the local path of `name` in the current directory,
  /// relative to the top.
  [[nodiscard]] std::size_t pathLength(std::string_view name) const {
    return levels_.back().pathLength + name.size();
  }
  /// The current directory; no value when it had to be opened again and
  /// that failed (it was removed or replaced meanwhile).
  [[nodiscard]] const platform::Directory* current();

 private:
  struct Level {
    std::string name;
    std::optional<platform::Directory> directory;
    std::size_t pathLength = 0;  ///< of the path of its entries, up to the last "/"
  };
  void closeOldLevel();
  std::vector<Level> levels_;
};

/// What x says of an entry that a later entry's local name takes after the
/// entry `earlier`: the same name is a duplicate, another name the same file.
[[nodiscard]] std::string takenNameMessage(std::string_view name, std::string_view earlier);

/// The key under which a folder files the local name `local`: the name
/// itself, or in one letter case where the folder folds case.
[[nodiscard]] std::string nameKey(std::string_view local, bool foldsCase);

/// Which entries of the directories a tree walk is in take a local file
/// that an earlier entry of the same directory took (the same name, names
/// with the same escape, or names a folder that folds case takes as one):
/// the first is the one the local file means, as for g and c, and each
/// later one is left alone. Exact, and small: entering a directory walks
/// its entries once and keeps only the hashes that come more than once, so
/// a directory of a million different names costs 4 MiB while it is
/// entered and next to nothing while it is walked; where two entries share
/// a hash, the earlier one's name is read again from the image.
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
  [[nodiscard]] bool sameKey(std::int32_t recordPosition, std::string_view key,
                             std::string& name) const;
  const ByteSource& image_;
  const VolumeGeometry& geometry_;
  std::uint32_t hashBits_;
  std::vector<Level> levels_{1};
};

/// The names in one local folder, read once, so that whether an entry's
/// local file is there is answered in memory: 4 bytes and a bit a name.
/// Each name is a slot that the first entry to find it claims.
class LocalNames {
 public:
  /// Reads the names in `folder`; no value when it cannot be read. Tests
  /// narrow `hashBits` to make different names share hashes.
  [[nodiscard]] static std::optional<LocalNames> read(const platform::Directory& folder,
                                                      bool foldsCase,
                                                      std::uint32_t hashBits = 0xFFFFFFFF);
  /// The slot of the name that the local name `local` finds in the folder,
  /// or no value when none is there. Only a file found at `local` makes it
  /// certain: a name there may merely share its hash.
  [[nodiscard]] std::optional<std::size_t> find(std::string_view local) const;
  /// Claims a slot for an entry; false when an earlier entry claimed it.
  bool claim(std::size_t slot);
  /// Reads `folder` again and hands each name no entry claimed to `visit`.
  void unclaimed(const platform::Directory& folder,
                 const std::function<void(std::string_view name)>& visit) const;
  [[nodiscard]] bool foldsCase() const { return foldsCase_; }

 private:
  std::deque<std::uint32_t> hashes_;  ///< of each name's key, sorted
  std::vector<bool> claimed_;
  /// The keys of names whose hash another name has too, by hash and key.
  std::vector<std::pair<std::uint32_t, std::string>> shared_;
  bool foldsCase_ = false;
  std::uint32_t hashBits_ = 0xFFFFFFFF;
  [[nodiscard]] std::uint32_t hash(std::string_view key) const;
};

/// Opens the regular file at `path` ("/"-separated names, as the tree walk
/// gives them) below `top`, entering each directory without following a
/// link; no value when any step fails.
[[nodiscard]] std::optional<platform::File> openBelow(const platform::Directory& top,
                                                      std::string_view path);

/// openBelow `top`, as a function of the path alone: how the writers of
/// an output open the local files of its changes.
[[nodiscard]] inline auto filesBelow(const platform::Directory& top) {
  return [&top](const std::string& path) { return openBelow(top, path); };
}

}  // namespace discshell
