#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <span>

#include "console/output.h"
#include "console/startup.h"
#include "transfer/local_file.h"

#ifdef DISCSHELL_SANITIZED_BUILD
// libedit's el_set(EL_ADDFN) keeps wide copies of the function's name and
// help text for the life of the process (its eln.c says so); they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:wcsdup\n"; }
#endif

int main(int argc, char** argv) {
  const unsigned closed = discshell::openClosedStandardDescriptors();
  // A write past a file-size limit then fails with a message instead of
  // killing the process half-way through a local file.
  std::signal(SIGXFSZ, SIG_IGN);
  discshell::removeTemporaryFilesOnSignals();
  std::ios::sync_with_stdio(false);
  discshell::FdOutputBuffer outBuffer(STDOUT_FILENO, (closed & 2u) != 0 ? EBADF : 0);
  discshell::FdOutputBuffer errBuffer(STDERR_FILENO);
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);
  discshell::Console console{std::cin,
                             out,
                             err,
                             ::isatty(STDIN_FILENO) == 1,
                             ::isatty(STDOUT_FILENO) == 1,
                             ::isatty(STDERR_FILENO) == 1};
  const std::span<const char* const> args(argv + 1,
                                          argc > 0 ? static_cast<std::size_t>(argc - 1) : 0);
  return discshell::runDiscshell(args, console);
}
