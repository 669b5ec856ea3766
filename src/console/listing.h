#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "console/session.h"

namespace discshell {

/// Prints the table of the directory whose first block lies at `directoryOffset`.
void listDirectory(Session& session, std::int32_t directoryOffset);

/// What l and t add to their lines at the prompt, so that an entry just
/// erased does not look as if the erase had failed: the listings show the
/// image as it is, and mark what the pending changes do to it. Only at a
/// terminal and not in a batch; elsewhere the listings stay as they are.
class PendingMarks {
 public:
  explicit PendingMarks(const Session& session);
  /// " (erased: w writes it)", " (renamed to NAME)", or "" for a record
  /// that no pending change touches.
  [[nodiscard]] std::string of(const DirectoryEntry& entry) const;
  /// The entries to be added into `directory`, in the order i added them.
  [[nodiscard]] std::vector<const AddedEntry*> addedInto(const PendingDirectory& directory) const;
  /// The directory an added entry is, for the entries added into it.
  [[nodiscard]] PendingDirectory contents(const AddedEntry& entry) const;

  static constexpr std::string_view kAdded = " (added)";

 private:
  const Session& session_;
  bool shown_ = false;
  /// Every added entry that still stands, by its directory and then its index.
  std::vector<std::pair<std::pair<std::uint32_t, std::int32_t>, std::uint32_t>> added_;
};

}  // namespace discshell
