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

#include "local/local_name_index.h"
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

/// The names one local folder lists, in byte order, in one buffer: a walk
/// that keeps the names of every folder it is inside needs about 12 bytes
/// for each short name of a folder of 100,000, not a string of 32 each.
class SortedNames {
 public:
  /// No value when the folder cannot be listed.
  [[nodiscard]] static std::optional<SortedNames> read(const platform::Directory& folder);
  [[nodiscard]] std::size_t size() const { return starts_.size(); }
  [[nodiscard]] std::string_view operator[](std::size_t i) const {
    return bytes_.c_str() + starts_[i];
  }
  /// What the names take one after another with a byte of their own each.
  [[nodiscard]] std::size_t bytes() const { return bytes_.size(); }

 private:
  std::string bytes_;  ///< each name and a NUL, which no listed name holds
  std::vector<std::uint32_t> starts_;
};

}  // namespace discshell
