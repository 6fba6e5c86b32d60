// One fuzzed transfer on a link's port, as the exports hand it down, on a
// guarded buffer, checked against the line events it caused.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "answer_feeder.h"
#include "links/plc_link.h"
#include "wire_verdict.h"

struct FamilyOp {
  const char *name;
  bool write;
  bool words;
};

// Decides from the tape how the call had to end; fills a read's image.
using WireCheck = WireVerdict (*)(WireTape &tape, bool write, int64_t address, int bytes, uint8_t *image);

// Runs `op` at a raw address with a count and buffer chosen by the fuzz input and
// checks: guards and slack untouched, a write's source unchanged, a count of
// 0 silent with the status kept, and otherwise result, status and buffer as
// the wire check decides.
void RunFamilyCall(FuzzedDataProvider &fdp, AnswerFeeder &feeder, PlcLink &link, const FamilyOp &op,
                   WireCheck check);
