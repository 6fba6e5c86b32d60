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
