// Transfers: map the operand to a controller address, lock the port, and cut
// the transfer into the frames of the port's family.
#include "links.h"
#include "serial/ports.h"
#include "serial/reasons.h"
#include "trace/trace.h"

Status RunFrames(PlcLink &link, const Family &family, Direction direction, int64_t address, int bytes,
                 uint8_t *buffer) {
  const int n = static_cast<uint16_t>(bytes);
  if (n == 0) return static_cast<Status>(link.status);
  const int most =
      link.frameBytes >= 1 && link.frameBytes <= kMaxFrameBytes ? link.frameBytes : kMaxFrameBytes;
  const bool read = direction == Direction::kRead;
  for (int done = 0; done < n;) {
    const int size = n - done < most ? n - done : most;
    ClearPortReason(link.port);
    if (Tracing()) TraceFrameBegin(link.port, read ? family.readName : family.writeName, address, size);
    const Status s =
        read ? family.read(link, address, size, buffer) : family.write(link, address, size, buffer);
    link.status = s;
    if (Tracing()) TraceFrameEnd(link.port, s == kStatusOk, buffer, size, PortFailure(link.port));
    if (s != kStatusOk) return s;
    address += size;
    buffer += size;
    done += size;
  }
  return kStatusOk;
}

Status LinkTransfer(int port, const Request &r) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  const int p = static_cast<uint16_t>(port);
  PortGuard guard(p);
  if (!PortIsOpen(p)) return kStatusPort;  // no link was ever opened on the port
  const bool isA = LinkIsA(p);
  int64_t address = r.start;
  if (r.area) address = AreaBase(*r.area, isA, r.fxAreas) + (r.words ? 2 * r.start : r.start);
  // Word counts double modulo 65536: 32768 words are a count of 0.
  const int bytes = static_cast<uint16_t>(r.words ? 2 * static_cast<uint32_t>(r.count) : r.count);
  return RunFrames(*link, isA ? kAFamily : kFxFamily, r.direction, address, bytes, r.buffer);
}
