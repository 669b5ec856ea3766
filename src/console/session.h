// What every shell command gets: the open volume, where the shell stands,
// and the session's streams.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "console/progress_display.h"
#include "edit/pending_changes.h"
#include "edit/pending_view.h"
#include "platform/platform.h"
#include "volume/geometry.h"
#include "volume/image_file.h"
#include "volume/tree.h"

namespace discshell {

struct Session {
  Session(const ImageFile& openImage, const VolumeGeometry& volume, std::ostream& output,
          std::ostream& failures)
      : image(openImage), geometry(volume), out(output), errors(failures) {
    levels.push_back({volume.rootDirectoryOffset, ""});
  }

  const ImageFile& image;
  const VolumeGeometry& geometry;
  std::ostream& out;            ///< what commands print
  std::ostream& errors;         ///< failure messages: `out`, or standard error in batch mode
  bool terminalOutput = false;  ///< `out` is a terminal: shown text is made harmless
  bool terminalErrors = false;  ///< the same for `errors`
  bool batch = false;           ///< no summary, prompts or "Exiting..."
  bool lineEditor = false;      ///< lines come from the terminal line editor
  bool terminalInput = false;   ///< lines are typed at a terminal that shows what is said
  /// Where w, u and r write the patched image.
  std::string outputPath = "output.iso";
  /// --patch: w, u and r write at `outputPath` a delta from the image to
  /// what they would have written there.
  bool patchOutput = false;
  /// For -o: the directory that holds it, opened where the run started;
  /// null for output.iso in the local directory.
  std::shared_ptr<const platform::Directory> outputDirectory;
  /// x may replace a local file that holds other bytes than its entry.
  bool overwrite = false;
  /// Shows how long commands go; null when nothing is to be shown.
  ProgressDisplay* progress = nullptr;
  /// The directories entered, the root first; the last is the current one.
  std::vector<Level> levels;
  /// Set when the current command reported a failure.
  bool failed = false;
  /// Where the current command came from in batch mode ("-c 2",
  /// "script.txt:14"): failure messages begin with it.
  std::string commandOrigin;
  /// What i, e and n changed and no write has put into an output yet.
  PendingChanges pending;
  /// The names of the directories i, e and n looked in last.
  PendingNames names;
  /// The state of `pending` (its revision) for which ending the run was
  /// refused once with a warning; the same state lets a second q end it.
  std::optional<std::uint64_t> warnedAt;

  [[nodiscard]] std::int32_t directory() const { return levels.back().offset; }
  /// Text from the image or the user as `out` may show it.
  [[nodiscard]] std::string shown(std::string_view text) const;
  /// Reports a failure: the message goes to `errors` and the command counts as failed.
  void fail(std::string_view message);
  /// The same, with `subject` (shown as `errors` may show it) and ": " in front.
  void fail(std::string_view subject, std::string_view message);
  /// Says `message` where failures go, but the command does not fail.
  void warn(std::string_view message);
  /// The same, with `subject` and ": " in front.
  void warn(std::string_view subject, std::string_view message);
  /// The pending changes as i, e and n look names up in them.
  [[nodiscard]] PendingView pendingView() { return {image, geometry, pending, names}; }
  /// The local directory that local files are read from and written to; no
  /// value, after reporting it, when it cannot be opened.
  [[nodiscard]] std::optional<platform::Directory> localDirectory();
};

/// Text from the image or the user as it may be printed. On a terminal,
/// control characters become "?" (as ls shows them): bytes below 0x20, 0x7F
/// and the C1 controls U+0080 to U+009F in UTF-8, so a crafted name cannot
/// drive the terminal; each byte that is not part of valid UTF-8 becomes
/// "%XX" (two upper-case hex digits), which can be typed back (typedText).
/// Valid UTF-8 passes unchanged, and off a terminal every byte does.
[[nodiscard]] std::string displayText(std::string_view text, bool terminalOutput);

/// A name as it is typed at the line editor: each byte that is not part of
/// valid UTF-8 as "%XX", as displayText shows it; everything else as it is.
[[nodiscard]] std::string typedName(std::string_view name);

/// A line typed at the line editor, with names typed as displayText shows
/// them: each run of "%XX" (XX from 80 to FF, in either case) that stands
/// for bytes of which none is part of valid UTF-8 becomes those bytes, as
/// no valid UTF-8 could show so. Everything else stays as typed.
[[nodiscard]] std::string typedText(std::string_view line);

/// An entry's data as a terminal may show it, in the pieces it is read in:
/// displayText's rule, except that line feeds and tabs pass, and a UTF-8
/// sequence split between two pieces is shown as if the data were whole.
class DisplayStream {
 public:
  explicit DisplayStream(bool terminalOutput) : terminal_(terminalOutput) {}
  /// What may be shown of the text so far; a sequence that `piece` cuts
  /// short waits for the next piece.
  [[nodiscard]] std::string add(std::string_view piece);
  /// What still waits at the end of the text, shown as invalid bytes are.
  [[nodiscard]] std::string finish();

 private:
  bool terminal_;
  std::string waiting_;
};

}  // namespace discshell
