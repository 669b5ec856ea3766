#include "console/commands.h"

namespace discshell {
namespace {

struct CommandEntry {
  char letter;
  CommandHandler handler;
};

const CommandEntry kCommands[] = {
    {'?', help},
    {'a', extractAll},
    {'c', changeDirectory},
    {'d', list},
    {'g', getFile},
    {'h', help},
    {'l', list},
    {'m', kChecksumCommand},  // null, so "Invalid command", in a build without SHA-256
    {'p', printEntry},
    {'q', quit},
    {'s', describeEntry},
    {'t', listTree},
    {'u', updateFromTree},
    {'v', checkWholeVolume},
    {'w', writePatchedImage},
    {'x', extractTree},
};

}  // namespace

CommandHandler findCommand(char letter) {
  for (const CommandEntry& command : kCommands) {
    if (command.letter == letter) return command.handler;
  }
  return nullptr;
}

}  // namespace discshell
