// m where the build found no SHA-256: the letter stays "Invalid command".
#include "console/commands.h"

namespace discshell {

const CommandHandler kChecksumCommand = nullptr;

}  // namespace discshell
