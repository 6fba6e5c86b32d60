// velctl's command line: options, the command and its operands; and the
// lines of a file that `velctl run` runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "value_types.h"

enum class Command { Read, Write, Poll, Dump, Load, Info, Probe, Run };
enum class Format { Text, Csv, Json };

struct Options {
  Command command = Command::Read;
  std::string commandName;  // "read", ... as given
  int port = 0;             // 0..15: COM1..COM16
  std::string device;       // -d: the device of that port; empty: the library's choice
  bool fx = true;
  bool familyGiven = false;
  std::optional<ValueType> type;
  Format format = Format::Text;
  std::optional<std::string> output;     // dump: -o FILE, "-" for standard output
  double interval = 1.0;                 // poll: seconds from one sample to the next
  std::optional<std::uint64_t> samples;  // poll: --count; none: until Ctrl-C
  bool trace = false;
  int maxFrame = 0;  // --max-frame: 1..254, 0 when not given
  bool quiet = false;
  std::vector<std::string> operands;  // what follows the command: ADDR and the rest
};

enum class Parsed { kRun, kHelp, kVersion, kBadUsage };

// Where arguments come from.
enum class Source {
  kCommandLine,
  // A line of a file that `velctl run` runs: *options comes filled with what
  // the command line set; the port, device, family, trace and frame size
  // stay the command line's (one open serves every line).
  kRunLine,
};

// Options may stand before and after the command; "--" ends them. An
// argument that starts with '-' and a digit, a point, "inf" or "nan" is a
// value (write -t i16 D0 -5). kBadUsage sets *error to one line for the user.
Parsed ParseArguments(const std::vector<std::string> &args, Source source, Options *options,
                      std::string *error);
Parsed ParseCommandLine(int argc, char **argv, Options *options, std::string *error);

// Splits a line of a `velctl run` file into words as a shell does: blanks
// apart, '...' and "..." quote (\" and \\ inside "..."), a backslash quotes
// the next character, and # begins a comment where a word could begin.
// False with *error set for an unterminated quote.
bool SplitWords(const std::string &line, std::vector<std::string> *words, std::string *error);

// The text of --help.
const char *HelpText();
