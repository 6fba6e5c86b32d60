#include "status.h"

#include "veldrv.h"

int ExportedStatus(int status) {
  switch (status) {
  case kStatusWrongChar:
    return VEL_WRONG_CHAR;  // the exports' form of a wrong character
  case kStatusBadArgument:
    return VEL_BAD_ARGUMENT;
  default:
    return status;  // -1, -3, -4 keep their numbers
  }
}

const char *StatusText(int code) {
  switch (code) {
  case VEL_OK:
    return "success";
  case VEL_TIMEOUT:
    return "time-out: the controller did not answer within 990 ms";
  case VEL_NO_HANDLE:
    return "no free handle: all 32 link handles are in use";
  case VEL_CHECKSUM:
    return "checksum error: the checksum of the controller's reply did not match";
  case VEL_PORT:
    return "port error: the port does not exist or cannot be opened";
  case VEL_BAD_ARGUMENT:
    return "bad argument: a null buffer or a count out of range";
  case VEL_WRONG_CHAR:
    return "transmission error: a wrong character or value was received";
  case VEL_BAD_LETTER:
    return "bad operand letter: the area cannot be used for this transfer";
  case VEL_BAD_HANDLE:
    return "bad handle: the link handle is not open";
  default:
    return "unknown status";
  }
}
