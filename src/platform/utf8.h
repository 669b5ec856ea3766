// UTF-8 as the tool reads it, the same on every platform: the terminal rule
// of the console and Windows' file names both ask for it.
#pragma once

#include <cstddef>
#include <string_view>

namespace discshell::platform {

/// The valid UTF-8 sequence of 2 to 4 bytes at the start of `text`: its
/// length, or 0 when there is none (overlong forms, surrogates and code
/// points beyond U+10FFFF are not valid, and an ASCII byte is no sequence);
/// `cut` when the text ends inside a sequence that is valid so far.
struct Utf8Sequence {
  std::size_t length = 0;
  bool cut = false;
};
[[nodiscard]] Utf8Sequence utf8Sequence(std::string_view text);

}  // namespace discshell::platform
