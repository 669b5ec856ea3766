#include "console/commands.h"

namespace discshell {
namespace {

struct CommandEntry {
  char letter;
  CommandHandler handler;
};

// One line per command, so that adding one changes one line.
// clang-format off
const CommandEntry kCommands[] = {
    {'?', help},
    {'a', extractAll},
    {'c', changeDirectory},
    {'d', list},
    {'e', eraseEntry},
    {'f', searchTree},
    {'g', getFile},
    {'h', help},
    {'i', addLocal},
    {'k', mapVolume},
    {'l', list},
    {'m', kChecksumCommand},  // null, so "Invalid command", in a build without SHA-256
    {'n', renameEntry},
    {'o', showHex},
    {'p', printEntry},
    {'q', quit},
    {'r', resizeFromTree},
    {'s', describeEntry},
    {'t', listTree},
    {'u', updateFromTree},
    {'v', checkWholeVolume},
    {'w', writePatchedImage},
    {'x', extractTree},
};
// clang-format on

}  // namespace

CommandHandler findCommand(char letter) {
  for (const CommandEntry& command : kCommands) {
    if (command.letter == letter) return command.handler;
  }
  return nullptr;
}

}  // namespace discshell
