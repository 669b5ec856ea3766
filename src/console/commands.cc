#include "console/commands.h"

namespace discshell {
namespace {

// Which lines run a command. The first commands (a, c, d, g, l, q, w) run
// for any line that begins with their letter, as they always have ("list",
// "cd docs"); every later one only for its letter alone as the line's first
// word, so that an English word ("edit", "rm", "exit") runs nothing.
enum class Dispatch { kWholeWord, kFirstCharacter };

struct CommandEntry {
  char letter;
  CommandHandler handler;
  Dispatch dispatch = Dispatch::kWholeWord;
};

// One line per command, so that adding one changes one line.
// clang-format off
const CommandEntry kCommands[] = {
    {'?', help},
    {'a', extractAll, Dispatch::kFirstCharacter},
    {'c', changeDirectory, Dispatch::kFirstCharacter},
    {'d', list, Dispatch::kFirstCharacter},
    {'e', eraseEntry},
    {'f', searchTree},
    {'g', getFile, Dispatch::kFirstCharacter},
    {'h', help},
    {'i', addLocal},
    {'k', mapVolume},
    {'l', list, Dispatch::kFirstCharacter},
    {'m', kChecksumCommand},  // null, so "Invalid command", in a build without SHA-256
    {'n', renameEntry},
    {'o', showHex},
    {'p', printEntry},
    {'q', quit, Dispatch::kFirstCharacter},
    {'r', resizeFromTree},
    {'s', describeEntry},
    {'t', listTree},
    {'u', updateFromTree},
    {'v', checkWholeVolume},
    {'w', writePatchedImage, Dispatch::kFirstCharacter},
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

CommandHandler commandOfLine(std::string_view line) {
  if (line.empty()) return nullptr;
  const bool letterAlone = line.size() == 1 || line[1] == ' ';
  for (const CommandEntry& command : kCommands) {
    if (command.letter != line.front()) continue;
    return letterAlone || command.dispatch == Dispatch::kFirstCharacter ? command.handler : nullptr;
  }
  return nullptr;
}

}  // namespace discshell
