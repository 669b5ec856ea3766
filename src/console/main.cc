#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include "console/output.h"
#include "console/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  namespace platform = discshell::platform;
  const platform::ProcessStart start = platform::prepareProcess();
  platform::installInterruptCleanup();
  std::ios::sync_with_stdio(false);
  discshell::StandardOutputBuffer outBuffer(platform::StandardStream::kOutput,
                                            start.outputClosed ? EBADF : 0);
  discshell::StandardOutputBuffer errBuffer(platform::StandardStream::kError);
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);
  discshell::Console console{std::cin,
                             out,
                             err,
                             platform::isTerminal(platform::StandardStream::kInput),
                             platform::isTerminal(platform::StandardStream::kOutput),
                             platform::isTerminal(platform::StandardStream::kError),
                             &outBuffer};
  const std::vector<std::string> arguments = platform::arguments(argc, argv);
  std::vector<const char*> args;
  for (const std::string& argument : arguments) args.push_back(argument.c_str());
  return discshell::runDiscshell(args, console);
}
