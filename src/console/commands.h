// The commands of the shell. Every handler has the same signature and says
// what the shell should do next.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "console/session.h"

namespace discshell {

struct ShellStep {
  enum class Kind { kPrompt, kEnter, kLeave, kQuit };
  Kind kind = Kind::kPrompt;
  std::int32_t directory = 0;  ///< with kEnter: the directory entered
};

using CommandHandler = ShellStep (*)(Session& session, std::int32_t directory,
                                     std::optional<std::string_view> argument);

ShellStep changeDirectory(Session& session, std::int32_t directory,
                          std::optional<std::string_view> argument);
ShellStep quit(Session& session, std::int32_t directory, std::optional<std::string_view> argument);
ShellStep list(Session& session, std::int32_t directory, std::optional<std::string_view> argument);
ShellStep getFile(Session& session, std::int32_t directory,
                  std::optional<std::string_view> argument);
/// The a command: every entry of the directory, subdirectories saved as plain files.
ShellStep extractAll(Session& session, std::int32_t directory,
                     std::optional<std::string_view> argument);
ShellStep writePatchedImage(Session& session, std::int32_t directory,
                            std::optional<std::string_view> argument);

/// The handler for a command letter; none for letters without a command.
[[nodiscard]] CommandHandler findCommand(char letter);

}  // namespace discshell
