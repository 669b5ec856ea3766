#include <unistd.h>

#include <csignal>
#include <iostream>
#include <span>

#include "console/startup.h"

int main(int argc, char** argv) {
  // A write past a file-size limit then fails with a message instead of
  // killing the process half-way through a local file.
  std::signal(SIGXFSZ, SIG_IGN);
  std::ios::sync_with_stdio(false);
  const std::span<const char* const> args(argv + 1,
                                          argc > 0 ? static_cast<std::size_t>(argc - 1) : 0);
  return discshell::runDiscshell(args, std::cin, std::cout, ::isatty(STDOUT_FILENO) == 1);
}
