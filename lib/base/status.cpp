#include "status.h"

const char *StatusText(int code) {
  switch (code) {
  case kStatusOk:
    return "success";
  case kStatusTimeout:
    return "time-out: the controller did not answer within 990 ms";
  case kStatusNoHandle:
    return "no free handle: all 32 link handles are in use";
  case kStatusChecksum:
    return "checksum error: the checksum of the controller's reply did not match";
  case kStatusPort:
    return "port error: the port does not exist or cannot be opened";
  case kStatusBadArgument:
    return "bad argument: a null buffer or a count out of range";
  case kStatusWrongChar:
    return "transmission error: a wrong character or value was received";
  case kStatusBadLetter:
    return "bad operand letter: the area cannot be used for this transfer";
  case kStatusBadHandle:
    return "bad handle: the link handle is not open";
  default:
    return "unknown status";
  }
}
