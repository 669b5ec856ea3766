// What local file names a file system can hold: portable knowledge, the same
// in every build, so that the Windows rules are tested on every platform.
#pragma once

#include <string_view>

namespace discshell::platform {

/// The names a folder can hold beyond what none can ("/", NUL, an empty
/// name, "." and "..").
struct NameRules {
  /// Names are Unicode on disk: only valid UTF-8 converts (Windows, macOS).
  bool unicodeOnly = false;
  /// Windows' own limits: none of `< > : " \ | ? *` or the control
  /// characters, no space or dot at the end, and no device name.
  bool windowsNames = false;
};

/// Whether `text` is valid UTF-8 throughout.
[[nodiscard]] bool isValidUtf8(std::string_view text);
/// CON, PRN, AUX, NUL, COM0-COM9 and LPT0-LPT9 (also with a superscript 1, 2
/// or 3): Windows takes them as devices in every directory, in any case,
/// whatever extension follows and with spaces before it.
[[nodiscard]] bool isWindowsDeviceName(std::string_view name);

}  // namespace discshell::platform
