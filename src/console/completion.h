// Tab completion of entry names and path components at the prompt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "console/session.h"

namespace discshell {

struct Completion {
  std::string insert;                ///< what to add at the cursor
  std::vector<std::string> choices;  ///< the names that fit, when nothing can be added
};

/// Completes the argument of `line` (the text before the cursor, as typed):
/// for g and w a name in the current directory, for the commands that take
/// paths the last component, a directory then getting its "/". The argument
/// is everything after the first space, so a name with spaces completes
/// whole. Names are matched, added and chosen from as they are typed
/// (typedName: a byte that is not part of valid UTF-8 as "%XX").
[[nodiscard]] Completion completeLine(const Session& session, std::string_view line);

}  // namespace discshell
