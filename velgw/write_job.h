// A write that the Modbus server or the MQTT client hands to a controller's
// port worker, and what became of it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "values.h"

namespace velgw {

struct WriteItem {
  int tag = 0;     // index into the controller's tags
  int first = 0;   // first element
  int count = 1;   // elements
  Encoded values;  // values.h: element bytes, or one 0/1 per bool element
};

struct WriteResult {
  enum class Outcome {
    Done,      // the controller acknowledged every item
    Failed,    // a transfer failed (status, reason); items before it were written
    Offline,   // the controller is off scan: nothing was sent
    Stopping,  // the gateway is stopping or reloading: nothing was sent
  };
  Outcome outcome = Outcome::Done;
  int status = 0;
  std::string reason;
};

struct WriteJob {
  std::vector<WriteItem> items;
  // Called once, on the worker's thread (or the caller's when refused at once).
  std::function<void(const WriteResult &)> done;
};

}  // namespace velgw
