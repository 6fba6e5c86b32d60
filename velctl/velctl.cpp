// velctl: scriptable command-line tool for FX-series and A-series
// controllers. Reads, writes, polls, dumps and loads controller memory
// through the exports of the VELDRV library, like any user program.
#include <cerrno>
#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"
#include "output.h"
#include "platform.h"
#include "program.h"

int main(int argc, char **argv) {
  if (StdoutIsClosed()) NoteStdoutClosed();
  ProgramStart();
  ReportBrokenOutput();
  Options options;
  std::string error;
  switch (ParseCommandLine(argc, argv, &options, &error)) {
  case Parsed::kHelp:
    return WriteOut(HelpText()) ? kExitOk : StdoutFailed(errno);
  case Parsed::kVersion:
    return WriteOut(std::string("velctl ") + ProgramVersion() + "\n") ? kExitOk : StdoutFailed(errno);
  case Parsed::kBadUsage:
    return BadUsage(error);
  case Parsed::kRun:
    break;
  }
  return RunCommand(options);
}
