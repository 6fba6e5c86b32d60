// velctl: scriptable command-line tool for FX-series and A-series
// controllers. Reads, writes, polls, dumps and loads controller memory
// through the six exports of the VELDRV library, like any user program.
#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"
#include "program.h"

int main(int argc, char **argv) {
  ProgramStart();
  Options options;
  std::string error;
  switch (ParseCommandLine(argc, argv, &options, &error)) {
  case Parsed::kHelp:
    std::fputs(HelpText(), stdout);
    return kExitOk;
  case Parsed::kVersion:
    std::printf("velctl %s\n", ProgramVersion());
    return kExitOk;
  case Parsed::kBadUsage:
    return BadUsage(error);
  case Parsed::kRun:
    break;
  }
  return RunCommand(options);
}
