// velctl's messages on standard error and its exit status.
#pragma once

#include <string>

class Link;
struct Options;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the port, the line or the controller failed, or standard output did
constexpr int kExitUsage = 2;   // bad usage: nothing was sent

// "velctl: MESSAGE" and the hint to --help; returns kExitUsage.
int BadUsage(const std::string &message);
// "velctl: MESSAGE" alone.
void Say(const std::string &message);

// "velctl: read D100 3: COM1 (/dev/ttyS0): the reason (-1)" with the
// library's reason for the status, and a line with a hint where one helps:
// for an open refused for lack of permission, and for a time-out on the first
// transfer after the open (the other family answers in another character
// format). after is added to the first line. Returns kExitFailed.
int OpenFailed(const std::string &what, const Options &options, const Link &link, int status);
int TransferFailed(const std::string &what, const Options &options, const Link &link, int status,
                   const std::string &after = {});

// "velctl: cannot write to standard output: reason" for the errno of the
// failed write; returns kExitFailed.
int StdoutFailed(int error);
