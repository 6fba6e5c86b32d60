// velctl's five commands: read, write, poll, dump and load.
#pragma once

#include <string>

#include "options.h"

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the port, the line or the controller failed
constexpr int kExitUsage = 2;   // bad usage: nothing was sent

// Prints "velctl: MESSAGE" and the hint to --help; returns kExitUsage.
int BadUsage(const std::string &message);

// Checks the operands, passes the options to the library through its
// VELDRV_* variables, opens the link and runs the command. Returns the exit
// status.
int RunCommand(const Options &options);
