// Link table and family table: opening and closing links.
#include "links.h"

#include <mutex>

#include "../serial/ports.h"

namespace {

PlcLink links[kPortCount];
uint16_t familyIsA[kPortCount];  // nonzero: A-series; zero: FX

// Clears the shared record under the port's lock, so that a transfer of
// another handle on the port never sees it half written.
void ClearRecord(int port) {
  PortLock(port);
  PlcLink &link = links[port];
  link.port = static_cast<uint16_t>(port);
  link.status = kStatusOk;
  link.sessionByte = 0;
  PortUnlock(port);
}

int LinkOpen(int port, uint8_t byteSize, int parity, uint16_t isA) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  int p = link - links;
  ClearRecord(p);
  int opened = PortOpen(p, 9600, byteSize, parity, 1);
  PortLock(p);
  if (opened)
    familyIsA[p] = isA;
  else
    link->status = kStatusPort;
  PortUnlock(p);
  return opened ? kStatusOk : kStatusPort;
}

}  // namespace

PlcLink *LinkLookup(int port) {
  uint16_t p = static_cast<uint16_t>(port);
  return p < kPortCount ? &links[p] : nullptr;
}

bool LinkIsA(int port) {
  uint16_t p = static_cast<uint16_t>(port);
  return p < kPortCount && familyIsA[p] != 0;
}

int LinkOpenFx(int port) {
  return LinkOpen(port, 7, 'E', 0);  // 9600 7E1
}

int LinkOpenA(int port) {
  return LinkOpen(port, 8, 'O', 1);  // 9600 8O1
}

int LinkClose(int port) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  int p = link - links;
  PortLock(p);
  link->status = kStatusOk;
  uint16_t linkPort = link->port;
  PortUnlock(p);
  PortRelease(linkPort);
  return kStatusOk;
}
