#include "console/listing.h"

#include <algorithm>
#include <string>

#include "volume/directory.h"

namespace discshell {
namespace {

// Like printf's "%-Ns" and "%Ns": pads to a width, never cuts.
std::string padRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}
std::string padLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace

void listDirectory(Session& session, std::int32_t directoryOffset) {
  std::ostream& out = session.out;
  const PendingMarks marks(session);
  out << '\n'
      << padRight("Name", 31) << ' ' << padRight("Type", 4) << "  " << padRight("Size", 9)
      << "        " << padRight("Block Address", 6) << "\n\n";
  walkDirectory(session.image, session.geometry, directoryOffset, [&](const DirectoryEntry& entry) {
    out << padRight(displayText(entry.name, session.terminalOutput), 31) << ' '
        << padRight(displayText(entry.type, session.terminalOutput), 4) << "  "
        << padLeft(std::to_string(entry.byteCount), 9) << " bytes  "
        << padRight(std::to_string(entry.startBlock), 6) << marks.of(entry) << '\n';
    return WalkStep::kContinue;
  });
  // What i adds has no type or block yet.
  for (const AddedEntry* added : marks.addedInto({PendingDirectory::kImage, directoryOffset})) {
    out << padRight(session.shown(session.pending.nameOf(*added)), 31) << ' ' << padRight("", 4)
        << "  "
        << (added->directory ? padRight("", 15)
                             : padLeft(std::to_string(added->status.size), 9) + " bytes")
        << "  " << padRight("", 6) << PendingMarks::kAdded << '\n';
  }
  out << '\n';
}

PendingMarks::PendingMarks(const Session& session)
    : session_(session),
      shown_(session.terminalOutput && !session.batch && !session.pending.empty()) {
  if (!shown_) return;
  const std::vector<AddedEntry>& added = session.pending.added();
  for (std::uint32_t i = 0; i < added.size(); ++i) {
    if (!session.pending.stillAdded(i)) continue;
    added_.push_back({{added[i].parent.added, added[i].parent.offset}, i});
  }
  std::sort(added_.begin(), added_.end());
}

std::string PendingMarks::of(const DirectoryEntry& entry) const {
  if (!shown_) return "";
  const auto& changed = session_.pending.changedRecords();
  const auto found = changed.find(entry.recordPosition);
  if (found == changed.end()) return "";
  if (found->second.erased) return " (erased: w writes it)";
  if (found->second.renamed) return " (renamed to " + session_.shown(found->second.name) + ")";
  return "";
}

std::vector<const AddedEntry*> PendingMarks::addedInto(const PendingDirectory& directory) const {
  std::vector<const AddedEntry*> entries;
  const std::pair<std::uint32_t, std::int32_t> key{directory.added, directory.offset};
  const auto first = std::lower_bound(added_.begin(), added_.end(), std::pair{key, 0U});
  for (auto at = first; at != added_.end() && at->first == key; ++at) {
    entries.push_back(&session_.pending.added()[at->second]);
  }
  return entries;
}

PendingDirectory PendingMarks::contents(const AddedEntry& entry) const {
  return {static_cast<std::uint32_t>(&entry - session_.pending.added().data()), 0};
}

}  // namespace discshell
