// velcon's command line.
#pragma once

struct Choice {
  int port = 0;  // 0 = COM1, 1 = COM2
  int fx = 0;    // 1 = FX-series, 0 = A-series
};

// True for "--help" or "-h" anywhere on the command line.
bool WantsHelp(int argc, char **argv);
// True for "--version" anywhere on the command line.
bool WantsVersion(int argc, char **argv);

// Evaluates "COM1", "COM2", "FX" and "A" in order, in any case; a later
// argument overrides an earlier one. Prints the family line for every "FX"
// and "A"; anything else is ignored with a note on standard error.
Choice EvaluateArguments(int argc, char **argv);

// The short German usage text.
void ShowUsage();
