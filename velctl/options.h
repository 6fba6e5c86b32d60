// velctl's command line: options, the command and its operands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "value_types.h"

enum class Command { Read, Write, Poll, Dump, Load };
enum class Format { Text, Csv, Json };

struct Options {
  Command command = Command::Read;
  std::string commandName;  // "read", ... as given
  int port = 0;             // 0..15: COM1..COM16
  std::string device;       // -d: the device of that port; empty: the library's choice
  bool fx = true;
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

// Options may stand before and after the command; "--" ends them, and an
// argument that starts with '-' and a digit is a value (write D0 -5).
// kBadUsage sets *error to one line for the user.
Parsed ParseCommandLine(int argc, char **argv, Options *options, std::string *error);

// The text of --help.
const char *HelpText();
