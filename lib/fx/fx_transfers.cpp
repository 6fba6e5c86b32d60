// FX family routines: transfers of any length in frames of 254 bytes.
#include "../links/family.h"
#include "../links/frame_split.h"
#include "fx.h"

int FxReadBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return RunFrames(link, "FX read", address, count, buffer, FxReadFrame);
}

int FxWriteBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return RunFrames(link, "FX write", address, count, buffer, FxWriteFrame);
}

int FxReadWords(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return FxReadBytes(link, address, WordsToBytes(count), buffer);
}

int FxWriteWords(PlcLink &link, int64_t address, int count, uint8_t *buffer) {
  return FxWriteBytes(link, address, WordsToBytes(count), buffer);
}

const FamilyRoutines kFxRoutines = {FxReadBytes, FxWriteBytes, FxReadWords, FxWriteWords};
