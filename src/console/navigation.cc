// Moving through the volume, listing it, and help.
#include "console/commands.h"
#include "console/help.h"
#include "console/listing.h"
#include "console/pending_write.h"

namespace discshell {

ShellStep changeDirectory(Session& session, std::int32_t,
                          std::optional<std::string_view> argument) {
  if (argument == "..") {
    if (session.levels.size() == 1) {
      return mayEndWithPending(session) ? ShellStep::kEnd : ShellStep::kPrompt;
    }
    session.levels.pop_back();
    return ShellStep::kPrompt;
  }
  std::optional<PathTarget> target;
  if (argument) {
    WindowedReader reader(session.image);
    target = resolvePath(reader, session.geometry, session.levels, *argument, PathEnd::kDirectory);
  }
  if (!target) {
    session.fail("Directory not found.\n");
    return ShellStep::kPrompt;
  }
  session.out << "Entering " << session.shown(*argument) << ":\n";
  session.levels.resize(target->keep);
  for (Level& level : target->down) session.levels.push_back(std::move(level));
  return ShellStep::kPrompt;
}

ShellStep quit(Session& session, std::int32_t, std::optional<std::string_view>) {
  if (!mayEndWithPending(session)) return ShellStep::kPrompt;
  if (!session.batch) session.out << "Exiting...\n";
  return ShellStep::kEnd;
}

ShellStep list(Session& session, std::int32_t directory, std::optional<std::string_view>) {
  listDirectory(session, directory);
  return ShellStep::kPrompt;
}

ShellStep help(Session& session, std::int32_t, std::optional<std::string_view>) {
  session.out << commandHelp();
  return ShellStep::kPrompt;
}

std::optional<PathArgument> resolveArgument(Session& session,
                                            std::optional<std::string_view> argument) {
  std::optional<PathTarget> target;
  if (!argument) {
    target = PathTarget{session.levels.size(), {}, std::nullopt, std::nullopt};
  } else {
    WindowedReader reader(session.image);
    target = resolvePath(reader, session.geometry, session.levels, *argument, PathEnd::kEntry);
    // c enters what it is told to; a path command reads a directory only
    // where there is one.
    if (target && target->namedDirectory &&
        !isDirectory(reader, session.geometry, *target->namedDirectory)) {
      session.fail("Directory not found.\n");
      return std::nullopt;
    }
  }
  if (!target) {
    session.fail("File not found.\n");
    return std::nullopt;
  }
  PathArgument resolved;
  resolved.entry = std::move(target->entry);
  resolved.directory =
      target->down.empty() ? session.levels[target->keep - 1].offset : target->down.back().offset;
  resolved.keep = target->keep;
  resolved.down = std::move(target->down);
  return resolved;
}

void walkArgument(Session& session, const PathArgument& target, TreeVisitor& visitor) {
  if (!target.entry) {
    walkTree(session.image, session.geometry, target.directory, visitor);
    return;
  }
  WindowedReader reader(session.image);
  if (isDirectory(reader, session.geometry, *target.entry)) {
    walkTree(session.image, session.geometry,
             blockToOffset(session.geometry, target.entry->startBlock), visitor);
  } else {
    visitor.visit(*target.entry, false, target.entry->name);
  }
}

std::string shellPath(const Session& session) {
  std::string path;
  for (std::size_t i = 1; i < session.levels.size(); ++i) {
    if (!path.empty()) path += '/';
    path += session.levels[i].name;
  }
  return path;
}

std::string directoryPath(const Session& session, const PathArgument& argument) {
  std::string path;
  for (std::size_t i = 1; i < argument.keep; ++i) {
    path.append("/").append(session.levels[i].name);
  }
  for (const Level& level : argument.down) path.append("/").append(level.name);
  return path.empty() ? "/" : path;
}

}  // namespace discshell
