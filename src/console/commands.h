// The commands of the shell. Every handler has the same signature and says
// whether the run goes on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/session.h"
#include "volume/tree.h"

namespace discshell {

struct MapRequest;

enum class ShellStep { kPrompt, kEnd };

using CommandHandler = ShellStep (*)(Session& session, std::int32_t directory,
                                     std::optional<std::string_view> argument);

/// The handler for a command letter; none for letters without a command.
[[nodiscard]] CommandHandler findCommand(char letter);
/// The handler a command line runs; none when the line is no command. The
/// letters a, c, d, g, l, q and w take any line that begins with them
/// ("list"); every other letter only when it stands alone as the line's
/// first word ("x", "x docs", but not "exit").
[[nodiscard]] CommandHandler commandOfLine(std::string_view line);

// Navigation and listing (navigation.cc).
ShellStep changeDirectory(Session& session, std::int32_t directory,
                          std::optional<std::string_view> argument);
ShellStep quit(Session& session, std::int32_t directory, std::optional<std::string_view> argument);
ShellStep list(Session& session, std::int32_t directory, std::optional<std::string_view> argument);
ShellStep help(Session& session, std::int32_t directory, std::optional<std::string_view> argument);

// One entry or one directory out to local files, and w (entry_commands.cc).
ShellStep getFile(Session& session, std::int32_t directory,
                  std::optional<std::string_view> argument);
/// The a command: every entry of the directory, subdirectories saved as plain files.
ShellStep extractAll(Session& session, std::int32_t directory,
                     std::optional<std::string_view> argument);
ShellStep writePatchedImage(Session& session, std::int32_t directory,
                            std::optional<std::string_view> argument);
ShellStep printEntry(Session& session, std::int32_t directory,
                     std::optional<std::string_view> argument);
ShellStep describeEntry(Session& session, std::int32_t directory,
                        std::optional<std::string_view> argument);

// The whole tree (tree_commands.cc).
ShellStep listTree(Session& session, std::int32_t directory,
                   std::optional<std::string_view> argument);
ShellStep extractTree(Session& session, std::int32_t directory,
                      std::optional<std::string_view> argument);
ShellStep updateFromTree(Session& session, std::int32_t directory,
                         std::optional<std::string_view> argument);
/// r: like u, but each changed entry becomes exactly its local file, longer or shorter.
ShellStep resizeFromTree(Session& session, std::int32_t directory,
                         std::optional<std::string_view> argument);

// The tree's pending changes: i (add_command.cc), e (erase_command.cc), n
// (rename_command.cc), and w alone, which writes them (pending_write.cc).
/// i PATH: adds a local file or directory; i alone lists the pending changes.
ShellStep addLocal(Session& session, std::int32_t directory,
                   std::optional<std::string_view> argument);
ShellStep eraseEntry(Session& session, std::int32_t directory,
                     std::optional<std::string_view> argument);
ShellStep renameEntry(Session& session, std::int32_t directory,
                      std::optional<std::string_view> argument);
ShellStep writePendingChanges(Session& session);
/// What e and n name: an entry as the pending changes leave it; no value
/// after reporting "File not found.".
[[nodiscard]] std::optional<PendingPath> resolvePendingEntry(
    Session& session, std::optional<std::string_view> argument);
/// Whether `path` leads through a directory of the image that a pending
/// change erases, after saying so for `typed`: nothing is added, erased or
/// renamed inside one.
bool insideErased(Session& session, const PendingPath& path, std::string_view typed);

/// v: checks the whole volume from the root (check_command.cc).
ShellStep checkWholeVolume(Session& session, std::int32_t directory,
                           std::optional<std::string_view> argument);
/// o PATH [OFFSET [COUNT]]: an entry's bytes as xxd shows them (hex_command.cc).
ShellStep showHex(Session& session, std::int32_t directory,
                  std::optional<std::string_view> argument);
/// f TEXT: every occurrence of TEXT's bytes in the files below the current
/// directory (search_command.cc).
ShellStep searchTree(Session& session, std::int32_t directory,
                     std::optional<std::string_view> argument);

/// m: the SHA-256 of every file, or null when the build has no SHA-256
/// (checksum_command.cc, or checksum_command_none.cc).
extern const CommandHandler kChecksumCommand;

/// k FILE.svg [PATH]: a map of the volume, the entries below PATH
/// highlighted (map_command.cc).
ShellStep mapVolume(Session& session, std::int32_t directory,
                    std::optional<std::string_view> argument);
/// Writes the map `request` asks for to `file` and says so, or why not.
void writeMap(Session& session, const std::string& file, const MapRequest& request);

/// The words of `text` as a POSIX shell splits them, as n and i take their
/// arguments; no value when a quote is left open or a backslash ends it
/// (rename_command.cc).
[[nodiscard]] std::optional<std::vector<std::string>> shellWords(std::string_view text);

/// A count and its noun, singular for 1: "1 file", "0 files", "2 files".
[[nodiscard]] std::string counted(std::int64_t count, std::string_view one, std::string_view many);
/// Blocks as r lists them: "block 7", "blocks 7 and 9", "blocks 7, 9 and 11".
[[nodiscard]] std::string blockList(const std::vector<std::int32_t>& blocks);

/// What a path argument of t, x, p, s, u or m names: an entry, or (for ".",
/// "..", "/" and paths ending in them) a directory given by its levels.
struct PathArgument {
  std::optional<DirectoryEntry> entry;
  std::int32_t directory = 0;  ///< the directory named, or the one that holds `entry`
  std::size_t keep = 0;        ///< that directory: the first `keep` current levels,
  std::vector<Level> down;     ///< and then these
};

/// Resolves a path argument from the current directory; without an
/// argument, the current directory. No value after reporting "File not
/// found.", or "Directory not found." for a path that names an entry as a
/// directory ("hello.txt/") where the entry does not read as one.
[[nodiscard]] std::optional<PathArgument> resolveArgument(Session& session,
                                                          std::optional<std::string_view> argument);

/// Walks what a resolved argument names: everything below a directory (for
/// an entry that is one, paths relative to it), or the one entry.
void walkArgument(Session& session, const PathArgument& target, TreeVisitor& visitor);

/// The shell's current directory from the root, as the walk names paths:
/// "docs/archive", "" at the root.
[[nodiscard]] std::string shellPath(const Session& session);

/// The path from the root of the directory a resolved argument names or
/// holds its entry: "/" for the root.
[[nodiscard]] std::string directoryPath(const Session& session, const PathArgument& argument);

}  // namespace discshell
