// Area and raw transfers: map the operand to a controller address, lock the
// port, and run the routine of the port's family.
#include "../serial/ports.h"
#include "areas.h"
#include "family.h"
#include "links.h"

namespace {

enum Operation { kReadBytes, kWriteBytes, kReadWords, kWriteWords };

bool IsWordOperation(Operation op) {
  return op == kReadWords || op == kWriteWords;
}

// area is nullptr for a raw transfer, whose address is the start itself.
int RunTransfer(Operation op, const OperandArea *area, int port, int64_t start, int count, void *buffer,
                FxAreas fxAreas = FxAreas::kController) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  int p = static_cast<uint16_t>(port);
  PortGuard guard(p);
  if (!PortIsOpen(p)) return kStatusPort;  // no link was ever opened on the port
  bool isA = LinkIsA(p);
  int64_t address = start;
  if (area) address = AreaBase(*area, isA, fxAreas) + (IsWordOperation(op) ? 2 * start : start);
  const FamilyRoutines &family = isA ? kARoutines : kFxRoutines;
  const FamilyRoutine routines[] = {family.readBytes, family.writeBytes, family.readWords, family.writeWords};
  int done = routines[op](*link, address, count, static_cast<uint8_t *>(buffer));
  return done ? static_cast<int>(kStatusOk) : link->status;
}

int RunArea(Operation op, int letter, int port, int start, int count, void *buffer, FxAreas fxAreas) {
  const OperandArea *area = AreaForLetter(letter);
  if (!area) return kStatusBadArgument;  // the exports check letters before
  return RunTransfer(op, area, port, start, count, buffer, fxAreas);
}

}  // namespace

int AreaReadBytes(int letter, int port, int start, int count, void *buffer, FxAreas fxAreas) {
  return RunArea(kReadBytes, letter, port, start, count, buffer, fxAreas);
}
int AreaWriteBytes(int letter, int port, int start, int count, void *buffer, FxAreas fxAreas) {
  return RunArea(kWriteBytes, letter, port, start, count, buffer, fxAreas);
}
int AreaReadWords(int letter, int port, int start, int count, void *buffer, FxAreas fxAreas) {
  return RunArea(kReadWords, letter, port, start, count, buffer, fxAreas);
}
int AreaWriteWords(int letter, int port, int start, int count, void *buffer, FxAreas fxAreas) {
  return RunArea(kWriteWords, letter, port, start, count, buffer, fxAreas);
}

int RawReadBytes(int port, int64_t address, int count, void *buffer) {
  return RunTransfer(kReadBytes, nullptr, port, address, count, buffer);
}
int RawWriteBytes(int port, int64_t address, int count, void *buffer) {
  return RunTransfer(kWriteBytes, nullptr, port, address, count, buffer);
}
int RawReadWords(int port, int64_t address, int count, void *buffer) {
  return RunTransfer(kReadWords, nullptr, port, address, count, buffer);
}
int RawWriteWords(int port, int64_t address, int count, void *buffer) {
  return RunTransfer(kWriteWords, nullptr, port, address, count, buffer);
}
