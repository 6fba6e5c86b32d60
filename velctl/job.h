// A command checked and ready to run: what it addresses, in which type, and
// the run of controller memory it reads or writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "operands.h"
#include "options.h"
#include "value_types.h"

struct Job {
  Options options;
  std::string what;  // for messages: "read D100 3", in a run file "FILE:3: read D100 3"
  operands::Operand operand;
  ValueType type = ValueType::U8;
  operands::Span span;
  std::uint64_t count = 0;            // values (read, poll, write)
  std::vector<std::uint8_t> payload;  // write: encoded values; load: the file
};

// Checks the command's operands and works out the job; false with *error set
// to the reason (a usage error: nothing is sent).
bool PrepareJob(const Options &options, Job *job, std::string *error);

// What the messages call the command: "read D100 3"; a long write is cut.
std::string Describe(const Options &options);

// The job prints data on standard output.
bool PrintsData(const Job &job);
