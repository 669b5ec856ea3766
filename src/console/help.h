// The texts of h and --help.
#pragma once

#include <string_view>

namespace discshell {

/// One line per command with its argument, then a line on paths.
[[nodiscard]] std::string_view commandHelp();

/// The usage line, the options, the commands and the exit statuses.
[[nodiscard]] std::string_view programHelp();

inline constexpr std::string_view kUsageLine =
    "Usage: discshell [OPTION]... IMAGE [VOLUME-OFFSET]\n";

}  // namespace discshell
