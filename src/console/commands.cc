#include "console/commands.h"

#include <string>

#include "console/listing.h"
#include "transfer/extract.h"
#include "transfer/replace.h"
#include "volume/directory.h"

namespace discshell {
namespace {

constexpr ShellStep kPrompt{};

// The lookup shared by c, g and w. A line without an argument runs no lookup.
std::optional<FoundEntry> lookUp(const Session& session, std::int32_t directory,
                                 std::optional<std::string_view> name) {
  if (!name) return std::nullopt;
  return findEntry(session.image, session.geometry, directory, *name);
}

// g and w: the entry to transfer, or no value after saying so.
std::optional<FoundEntry> lookUpFile(Session& session, std::int32_t directory,
                                     std::optional<std::string_view> name) {
  auto found = lookUp(session, directory, name);
  if (!found) session.out << "File not found.\n";
  return found;
}

struct CommandEntry {
  char letter;
  CommandHandler handler;
};

constexpr CommandEntry kCommands[] = {
    {'a', extractAll}, {'c', changeDirectory},   {'d', list}, {'g', getFile}, {'l', list},
    {'q', quit},       {'w', writePatchedImage},
};

}  // namespace

ShellStep changeDirectory(Session& session, std::int32_t directory,
                          std::optional<std::string_view> argument) {
  if (argument == "..") return {ShellStep::Kind::kLeave};
  const auto found = lookUp(session, directory, argument);
  if (!found) {
    session.out << "Directory not found.\n";
    return kPrompt;
  }
  session.out << "Entering " << displayText(*argument, session.terminalOutput) << ":\n";
  return {ShellStep::Kind::kEnter, blockToOffset(session.geometry, found->startBlock)};
}

ShellStep quit(Session& session, std::int32_t, std::optional<std::string_view>) {
  session.out << "Exiting...\n";
  return {ShellStep::Kind::kQuit};
}

ShellStep list(Session& session, std::int32_t directory, std::optional<std::string_view>) {
  listDirectory(session, directory);
  return kPrompt;
}

ShellStep getFile(Session& session, std::int32_t directory,
                  std::optional<std::string_view> argument) {
  const auto found = lookUpFile(session, directory, argument);
  if (!found) return kPrompt;
  const ExtractResult result =
      extractFile(session.image, blockToOffset(session.geometry, found->startBlock),
                  found->byteCount, std::string(*argument));
  session.out << extractMessage(result, found->byteCount);
  return kPrompt;
}

ShellStep extractAll(Session& session, std::int32_t directory, std::optional<std::string_view>) {
  session.out << "\nSaving all files in directory...\n\n";
  walkDirectory(session.image, session.geometry, directory, [&](const DirectoryEntry& entry) {
    session.out << displayText(entry.name, session.terminalOutput) << "...\n";
    const ExtractResult result =
        extractFile(session.image, blockToOffset(session.geometry, entry.startBlock),
                    entry.byteCount, entry.name);
    session.out << extractMessage(result, entry.byteCount);
    return WalkStep::kContinue;
  });
  session.out << "\nDone.\n\n";
  return kPrompt;
}

ShellStep writePatchedImage(Session& session, std::int32_t directory,
                            std::optional<std::string_view> argument) {
  const auto found = lookUpFile(session, directory, argument);
  if (!found) return kPrompt;
  const ReplaceResult result =
      replaceFile(session.image, blockToOffset(session.geometry, found->startBlock),
                  found->byteCount, std::string(*argument), session.out);
  session.out << replaceMessage(result);
  return kPrompt;
}

CommandHandler findCommand(char letter) {
  for (const CommandEntry& command : kCommands) {
    if (command.letter == letter) return command.handler;
  }
  return nullptr;
}

}  // namespace discshell
