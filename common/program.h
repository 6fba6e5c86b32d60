// What every program of the project does at start: standard streams that
// exist, and the project's version for --version.
#pragma once

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// nothing the program opens later (a serial device, a pseudo-terminal, a
// trace file) becomes its standard input, output or error by accident.
void ProgramStart();

// "1.0.0": the project's version, as CMake knows it.
const char *ProgramVersion();
