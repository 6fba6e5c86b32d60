// What velctl needs from the operating system beyond standard C++. One file
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by CMake.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>

// True when standard error is a terminal: only there a progress bar is drawn.
bool ErrorsGoToTerminal();

// Sets a variable of the program's environment (an empty value unsets it), so
// that the library finds it at its next open. False if that failed.
bool SetVariable(const char *name, const char *value);

// From now on Ctrl-C (and a request to terminate) only raises a flag: the
// program ends its work in an orderly way instead of being killed.
void CatchInterrupt();
bool Interrupted();

// Waits until the time has come (true) or an interrupt arrives (false).
bool WaitUntil(std::chrono::steady_clock::time_point until);

// The calendar fields of a time in UTC.
std::tm UtcCalendar(std::time_t time);

// No line-end translation on the stream (binary data through stdin or stdout).
void UseBinary(std::FILE *stream);
