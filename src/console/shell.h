// Room src/console/: start-up, options, the shell with its one command table,
// the commands' handlers, the line-editor seam and the listings. It prints;
// the rooms below it do the work. May include every other room.
//
// The prompt: one line at a time, dispatched on its first character.
#pragma once

#include <optional>
#include <string_view>

#include "console/line_source.h"
#include "console/session.h"

namespace discshell {

/// Exit statuses of a run.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitCannotStart = 1;
inline constexpr int kExitCommandFailed = 2;
inline constexpr int kExitOutputFailed = 3;
inline constexpr int kExitNoImage = 255;

/// Everything after the first space (tabs do not count), nothing trimmed;
/// no value when the line has no space.
[[nodiscard]] std::optional<std::string_view> commandArgument(std::string_view line);

/// Runs the shell from the session's current directory until q, the end of
/// input, or "c .." at the root; in batch mode also until a command fails.
/// Returns the exit status: success, a failed batch command, or standard
/// output that could not be written. Entered directories are kept on an
/// explicit stack, so any depth costs memory, never call stack.
[[nodiscard]] int runShell(Session& session, LineSource& lines);

}  // namespace discshell
