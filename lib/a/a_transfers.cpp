// A-series family routines: transfers of any length in frames of 254 bytes.
#include "../links/family.h"
#include "../links/frame_split.h"
#include "a.h"

int AReadBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return RunFrames(link, "A read", address, count, buffer, AReadFrame);
}

int AWriteBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return RunFrames(link, "A write", address, count, buffer, AWriteFrame);
}

int AReadWords(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return AReadBytes(link, address, WordsToBytes(count), buffer);
}

int AWriteWords(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return AWriteBytes(link, address, WordsToBytes(count), buffer);
}

const FamilyRoutines kARoutines = {AReadBytes, AWriteBytes, AReadWords, AWriteWords};
