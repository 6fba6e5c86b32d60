// What velctl needs from the operating system beyond standard C++. One file
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by CMake.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// True when standard output is closed; call before ProgramStart(), which
// puts /dev/null there.
bool StdoutIsClosed();

// A write into a closed pipe or past the file size limit fails with an error
// that velctl reports, instead of a signal that ends it without a word.
void ReportBrokenOutput();

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

// When the device at path exists but the user may not open it: what to do
// about it ("add yourself to the group dialout ..."); else empty.
std::string AccessHint(const std::string &path);

// A file written in full or not at all: the data goes to a temporary file
// beside it, which replaces it only when everything was written, so a
// failure (a full disk, the file size limit) leaves the old file as it was.
// A name that is not a regular file (a device, a FIFO) is written directly;
// a symbolic link keeps pointing where it did and its target is replaced.
class WholeFile {
 public:
  WholeFile() = default;
  ~WholeFile();  // removes the temporary file unless Commit() succeeded
  WholeFile(const WholeFile &) = delete;
  WholeFile &operator=(const WholeFile &) = delete;

  // False with *error set ("cannot write 'FILE': reason").
  bool Open(const std::string &name, std::string *error);
  bool Write(const std::uint8_t *data, std::size_t size, std::string *error);
  bool Commit(std::string *error);

 private:
  bool Fail(std::string *error);

  std::string name_;    // as given
  std::string target_;  // the file replaced
  std::string temp_;    // empty when written directly
  std::FILE *file_ = nullptr;
};
