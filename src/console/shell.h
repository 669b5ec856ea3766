// The prompt: one line at a time, dispatched on its first character.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "console/session.h"

namespace discshell {

/// Everything after the first space (tabs do not count), nothing trimmed;
/// no value when the line has no space.
[[nodiscard]] std::optional<std::string_view> commandArgument(std::string_view line);

/// Runs the shell from the root directory until q, the end of input, or
/// "c .." at the root; returns the exit status. Entered directories are kept
/// on an explicit stack, so any depth costs memory, never call stack.
[[nodiscard]] int runShell(Session& session, std::int32_t rootDirectoryOffset);

}  // namespace discshell
