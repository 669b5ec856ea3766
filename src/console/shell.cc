#include "console/shell.h"

#include "console/commands.h"
#include "console/pending_write.h"

namespace discshell {

std::optional<std::string_view> commandArgument(std::string_view line) {
  const auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return line.substr(space + 1);
}

namespace {

// A failed command ends a batch: what is still pending is lost with it.
int stopBatch(Session& session) {
  warnPendingAtEnd(session);
  return kExitCommandFailed;
}

}  // namespace

int runShell(Session& session, LineSource& lines) {
  for (;;) {
    // The prompt must be visible before the tool waits, and a failed write
    // ends the run rather than going unnoticed.
    if (!session.batch && !session.lineEditor) session.out << "?>";
    session.out.flush();
    session.errors.flush();
    if (!session.out) return kExitOutputFailed;
    const auto line = lines.next();
    if (!line) {
      // The end of input ends the run as q does.
      warnPendingAtEnd(session);
      if (!session.batch) session.out << "Exiting...\n";
      return session.batch && session.failed ? kExitCommandFailed : kExitSuccess;
    }
    session.failed = false;
    session.commandOrigin = lines.origin();
    const CommandHandler handler = line->empty() ? nullptr : findCommand(line->front());
    if (handler == nullptr) {
      session.fail(session.batch        ? "Invalid command\n"
                   : session.lineEditor ? "Invalid command\nType h for help.\n"
                                        : "Invalid command");
      if (session.batch) return stopBatch(session);
      continue;
    }
    if (handler(session, session.directory(), commandArgument(*line)) == ShellStep::kEnd) {
      return session.batch && session.failed ? kExitCommandFailed : kExitSuccess;
    }
    if (session.batch && session.failed) return stopBatch(session);
  }
}

}  // namespace discshell
