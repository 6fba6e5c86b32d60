// velctl's commands: read, write, poll, dump, load and info run as jobs on an
// open link; probe and run open links themselves.
#pragma once

#include "job.h"
#include "messages.h"
#include "options.h"
#include "transfers.h"

// Checks the operands, passes the options to the library through its
// VELDRV_* variables, opens the link and runs the command. Returns the exit
// status.
int RunCommand(const Options &options);

// Runs one prepared job on an open link; returns its exit status.
int RunJob(Job &job, Link &link);

// The setup of the link the options ask for.
LinkSetup SetupOf(const Options &options);

// info: the FX controller's model, memory and state.
int RunInfo(const Job &job, Link &link);
// probe: which family answers on the port.
int RunProbe(const Options &options);
// run FILE: the commands of a file on one open link.
int RunFile(const Options &options);
