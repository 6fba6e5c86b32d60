#include "status_text.h"

#include "veldrv.h"

const char *StatusText(int status) {
  switch (status) {
  case VEL_TIMEOUT:
    return "time-out: the controller did not answer within 990 ms";
  case VEL_NO_HANDLE:
    return "no free handle: all 32 link handles are in use";
  case VEL_CHECKSUM:
    return "checksum error: the checksum of the controller's reply did not match";
  case VEL_PORT:
    return "port error: the port does not exist or cannot be opened";
  case VEL_BAD_ARGUMENT:
    return "bad argument: the library refused the buffer or the count";
  case VEL_WRONG_CHAR:
    return "transmission error: a wrong character or value was received";
  case VEL_BAD_LETTER:
    return "bad operand letter: the area cannot be used for this transfer";
  case VEL_BAD_HANDLE:
    return "bad handle: the link handle is not open";
  default:
    return "failure: the library returned an unknown status";
  }
}
