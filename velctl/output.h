// Values on standard output: text, csv or json; and what happens when
// standard output fails.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "value_types.h"

class Printer {
 public:
  // timed: every sample carries its time (poll).
  Printer(Format format, ValueType type, bool timed);

  // One read's values; time is the ISO 8601 time stamp of a poll sample.
  // text: "D100 = 1234 (0x04D2)", aligned; csv: "address,value" (poll:
  // "time,address,value") once, then a row per value; json: one object a
  // line, {"address":"D100","type":"u16","values":[1234]} (poll: "time"
  // first). Flushes, so a reader at the other end of a pipe sees each sample.
  // False when standard output failed (see WriteOut).
  bool Print(const std::vector<Item> &items, const std::string &time = {});

 private:
  Format format_;
  ValueType type_;
  bool timed_;
  bool headerDone_ = false;
};

// Writes data to standard output and flushes it. False, with errno set, when
// that failed (a full disk, a closed pipe, a standard output that was closed
// when velctl started); from then on OutputFailed() is true.
bool WriteOut(const std::string &data);
bool WriteOut(const void *data, size_t size);
bool OutputFailed();
// Standard output was closed when velctl started (it then writes nowhere).
void NoteStdoutClosed();
bool StdoutWasClosed();

// "2026-12-08T10:15:30.123Z": now, in UTC, to the millisecond.
std::string TimeStamp();
