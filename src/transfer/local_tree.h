// The local directories a tree command works in: entered one level at a
// time, each relative to the one above and never through a symbolic link,
// so that whatever is renamed or swapped meanwhile, nothing is read or
// written outside the directory the command started in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

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
  /// The current directory; no value when it had to be opened again and
  /// that failed (it was removed or replaced meanwhile).
  [[nodiscard]] const platform::Directory* current();

 private:
  struct Level {
    std::string name;
    std::optional<platform::Directory> directory;
  };
  void closeOldLevel();
  std::vector<Level> levels_;
};

/// The names a tree walk has met so far in each directory it is in: the
/// first entry of a name is the one the name means, as for g and c, and
/// each later one is left alone. Only the directories being walked keep
/// their names; a directory's are dropped when the walk leaves it.
class FirstNames {
 public:
  /// True the first time `name` is met in the current directory.
  [[nodiscard]] bool first(std::string_view name);
  /// The walk enters a directory, or leaves it.
  void enter() { levels_.emplace_back(); }
  void leave() {
    if (levels_.size() > 1) levels_.pop_back();
  }

 private:
  // A name is kept as a 64-bit hash of it, in a table by open addressing:
  // 16 bytes a name or less, and no allocation per name. Two names that hash
  // alike are a chance of one in 2^64 a pair.
  struct Level {
    std::vector<std::uint64_t> slots;
    std::size_t count = 0;
  };
  std::vector<Level> levels_{1};
};

/// Opens the regular file at `path` ("/"-separated names, as the tree walk
/// gives them) below `top`, entering each directory without following a
/// link; no value when any step fails.
[[nodiscard]] std::optional<platform::File> openBelow(const platform::Directory& top,
                                                      std::string_view path);

}  // namespace discshell
