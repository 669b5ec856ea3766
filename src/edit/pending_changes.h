// Room src/edit/: what a session means to change and how a change is planned:
// the pending changes of i, e and n and the view of the tree they leave, the
// plans of u, r and the tree edits, and the one directory writer. A plan ends
// as ImageChanges for output/ to write. May include platform/, bytes/,
// volume/, local/ and output/.
//
// The changes i, e and n make to the tree. Nothing is written when they are
// made: they wait in the session until one write puts them all into an
// output, and a later change may build on an earlier one (adding into a
// directory added before, erasing what was added).
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace discshell {

/// At most this many entries are added by one i.
inline constexpr std::size_t kMostEntriesAdded = 100000;

/// A directory as the pending changes see it: one of the image, named by
/// where its walk starts, or one added in this session.
struct PendingDirectory {
  static constexpr std::uint32_t kImage = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t added = kImage;  ///< the added entry it is, or kImage
  std::int32_t offset = 0;       ///< for a directory of the image: its first block's position
  [[nodiscard]] bool inImage() const { return added == kImage; }
  friend bool operator==(const PendingDirectory&, const PendingDirectory&) = default;
};

/// A file or directory that i adds. What a directory holds are added
/// entries of their own, with it as their parent.
/// One i may add 100,000 of these, so each keeps only what it must: its
/// name lies in a buffer of names, where it lies locally and the change that
/// added it are kept apart (see PendingChanges).
struct AddedEntry {
  platform::FileStatus status;  ///< as i found it; a file's size is its byte count
  PendingDirectory parent;
  std::uint32_t nameAt = 0;  ///< where its name now lies among the names kept with it
  bool directory = false;
  bool erased = false;
  /// Its name, in `names`: the byte at `nameAt` holds the length, the name follows.
  [[nodiscard]] std::string_view nameIn(std::string_view names) const {
    return names.substr(nameAt + 1, static_cast<unsigned char>(names[nameAt]));
  }
};

/// The entries of one i on their way into the pending list, their names
/// in one buffer: an entry name is at most 31 bytes.
struct AddedEntries {
  std::vector<AddedEntry> entries;
  std::string names;
  void add(std::string_view name, const platform::FileStatus& status, PendingDirectory parent,
           bool directory) {
    entries.push_back({status, parent, static_cast<std::uint32_t>(names.size()), directory, false});
    names += static_cast<char>(name.size());
    names += name;
  }
};

/// Where i found the entries of one change. The first lies at `first`,
/// below the local directory ("/" between names); each one below it lies at
/// its parent's local path, "/" and its local name, which is its entry name
/// unless `others` gives it (by its place in the change's list).
struct AddedLocalNames {
  std::string first;
  std::vector<std::pair<std::size_t, std::string>> others;
};

/// What the pending changes do to one record of the image.
struct ChangedRecord {
  std::int32_t directory = 0;  ///< the directory that holds it, by where its walk starts
  std::string name;            ///< its name now
  bool renamed = false;
  bool erased = false;
  std::size_t change = 0;  ///< the first change that touched it
  /// When erased and a directory: where its copy 0 begins.
  std::optional<std::int32_t> erasedDirectory;
};

class PendingChanges {
 public:
  [[nodiscard]] bool empty() const { return size() == 0; }
  /// How many changes are pending (an i of a whole directory is one).
  [[nodiscard]] std::size_t size() const { return changes_.size() - dropped_; }
  /// One line per change, in the order they were made ("docs/new.txt:
  /// added, 12 bytes"), as i lists them and a write reports them.
  [[nodiscard]] std::vector<std::string> lines() const;
  /// The path from the root that change `change` names.
  [[nodiscard]] const std::string& subject(std::size_t change) const {
    return changes_.at(change).path;
  }
  /// Counts every change and every clear, so that a warning given for one
  /// state of the list can tell when the list has changed since.
  [[nodiscard]] std::uint64_t revision() const { return revision_; }
  void clear();

  /// The index the next added entry gets.
  [[nodiscard]] std::uint32_t nextAdded() const {
    return static_cast<std::uint32_t>(added_.size());
  }
  /// Adds `entries`: the first is what i names, the rest lie below it (in
  /// the order their directories list them, parents before children).
  void add(AddedEntries entries, AddedLocalNames local, const std::string& path);
  /// Erases a record of the image, or an added entry. Erasing a directory
  /// of the image (`contents`: where its copy 0 begins) drops the pending
  /// changes inside it, whose directories are `inside` (where each one's
  /// copy 0 begins, sorted, `contents` among them), and says how many.
  void eraseRecord(std::int32_t position, std::int32_t directory, const std::string& name,
                   const std::string& path);
  void eraseDirectoryRecord(std::int32_t position, std::int32_t directory, const std::string& name,
                            const std::string& path, std::int32_t contents,
                            const std::vector<std::int32_t>& inside);
  void eraseAdded(std::uint32_t index, const std::string& path);
  /// Renames a record of the image, or an added entry.
  void renameRecord(std::int32_t position, std::int32_t directory, const std::string& newName,
                    const std::string& path);
  void renameAdded(std::uint32_t index, const std::string& newName, const std::string& path);

  [[nodiscard]] const std::vector<AddedEntry>& added() const { return added_; }
  /// An added entry's name now.
  [[nodiscard]] std::string_view nameOf(const AddedEntry& entry) const {
    return entry.nameIn(names_);
  }
  [[nodiscard]] std::string_view nameOf(std::uint32_t index) const { return nameOf(added_[index]); }
  /// The change that added entry `index`.
  [[nodiscard]] std::size_t changeOf(std::uint32_t index) const;
  /// Where added entry `index` lies below the local directory, "/" between
  /// names: where i found it, whatever it is named now.
  [[nodiscard]] std::string localPath(std::uint32_t index) const;
  /// By record position.
  [[nodiscard]] const std::map<std::int32_t, ChangedRecord>& changedRecords() const {
    return changedRecords_;
  }
  /// Whether an added entry, and every added directory above it, still stands.
  [[nodiscard]] bool stillAdded(std::uint32_t index) const;
  /// Whether a pending change erases the directory of the image whose copy
  /// 0 begins at `offset`.
  [[nodiscard]] bool erasesDirectory(std::int32_t offset) const;

 private:
  struct Change {
    std::string path;      ///< from the root, "/" after a directory
    std::string what;      ///< after the path and ": "
    bool dropped = false;  ///< inside a directory a later change erased
    /// The added entry a rename or an erase changed.
    std::optional<std::uint32_t> added;
  };
  std::size_t record(std::string path, std::string what);
  /// Drops the changes inside the directories `inside`; how many.
  std::size_t dropInside(const std::vector<std::int32_t>& inside);
  [[nodiscard]] std::int32_t imageDirectoryOf(const AddedEntry& entry) const;
  ChangedRecord& changedRecordAt(std::int32_t position, std::int32_t directory,
                                 const std::string& name);

  std::vector<Change> changes_;
  std::vector<AddedEntry> added_;
  /// The added entries' names, as AddedEntries keeps them.
  std::string names_;
  /// For the first entry of each change that adds, that change and the
  /// whole local path.
  struct FirstAdded {
    std::size_t change = 0;
    std::string localPath;
  };
  std::map<std::uint32_t, FirstAdded> firstAdded_;
  /// The local name of an entry below one, where it is not its entry name
  /// (an escaped name, or one renamed since).
  std::map<std::uint32_t, std::string> localNames_;
  std::map<std::int32_t, ChangedRecord> changedRecords_;
  std::size_t dropped_ = 0;
  std::uint64_t revision_ = 0;
};

/// The name a new entry gets from the local name `local`: the entry name
/// whose escape it is (see local/local_name.h), or, when it is the escape
/// of no name but itself, `local` as it is. x writes the entry back under
/// `local`.
[[nodiscard]] std::string entryNameOfLocal(std::string_view local);

/// Why `name` cannot be an entry's name (a sentence ending in ".\n"), or no
/// value when it can: over 31 bytes, empty, "." or "..", or a "/" or NUL inside.
[[nodiscard]] std::optional<std::string> entryNameProblem(std::string_view name);

}  // namespace discshell
