// Link table and family table: opening and closing links.
#include "links.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"
#include "serial/ports.h"
#include "serial/reasons.h"
#include "trace/trace.h"

namespace {

PlcLink links[kPortCount];
uint16_t familyIsA[kPortCount];  // nonzero: A-series; zero: FX

// VELDRV_FRAME_BYTES: the largest frame, 1..254, for controllers that take
// fewer bytes a frame. Anything else keeps 254 and says so in the trace.
uint8_t FrameBytesSetting(int port) {
  char value[32];
  const Setting setting = ReadSetting("VELDRV_FRAME_BYTES", value, sizeof value);
  if (setting == Setting::kUnset) return kMaxFrameBytes;
  char *end = nullptr;
  long n = std::strtol(value, &end, 10);
  if (setting == Setting::kTooLong || *end != '\0' || n < 1 || n > kMaxFrameBytes) {
    if (Tracing()) TraceLine(port, "VELDRV_FRAME_BYTES=%s is not 1..254: frames of up to 254 bytes", value);
    return kMaxFrameBytes;
  }
  if (Tracing()) TraceLine(port, "frames of up to %ld bytes (VELDRV_FRAME_BYTES)", n);
  return static_cast<uint8_t>(n);
}

// VELDRV_FX_AREAS: unset (or empty) the FX letters address the controllers'
// own byte areas; "legacy" the addresses of earlier releases. Anything else
// fails the open: a typo must not send writes to another area.
bool FxAreasSetting(int port, FxAreas *areas) {
  char value[32];
  const Setting setting = ReadSetting("VELDRV_FX_AREAS", value, sizeof value);
  if (setting == Setting::kUnset) {
    *areas = FxAreas::kController;
  } else if (setting == Setting::kSet && std::strcmp(value, "legacy") == 0) {
    *areas = FxAreas::kLegacy;
  } else {
    const char *shown = setting == Setting::kSet ? value : "(too long)";
    NoteOpenFailure(kStatusPort,
                    "COM%d: VELDRV_FX_AREAS=%s is not understood; leave it empty or set \"legacy\"", port + 1,
                    shown);
    if (Tracing())
      TraceLine(port, "VELDRV_FX_AREAS=%s is neither empty nor \"legacy\": the open fails", shown);
    return false;
  }
  return true;
}

// The shared record and the family flag are written under the port's lock,
// so that a transfer of another handle on the port never sees them half
// written. An open refused because the port serves the other family leaves
// them as they are.
Status LinkOpen(int port, const Family &family) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  const int p = static_cast<int>(link - links);
  const uint8_t frameBytes = FrameBytesSetting(p);
  bool otherLine;
  const Status opened = PortOpen(p, family.line, &otherLine);
  if (otherLine) return opened;
  PortGuard guard(p);
  link->port = static_cast<uint16_t>(p);
  link->sessionByte = 0;
  link->frameBytes = frameBytes;
  link->status = opened;
  if (opened == kStatusOk) familyIsA[p] = &family == &kAFamily;
  return opened;
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

Status LinkOpenFx(int port, FxAreas *areas) {
  FxAreas chosen = FxAreas::kController;
  if (LinkLookup(port) && !FxAreasSetting(static_cast<uint16_t>(port), &chosen)) return kStatusPort;
  if (areas) *areas = chosen;
  const Status result = LinkOpen(port, kFxFamily);
  if (result == kStatusOk && Tracing())
    TraceLine(port, chosen == FxAreas::kLegacy
                        ? "FX areas X 0x0400, Y 0x0500, M 0x0800 (VELDRV_FX_AREAS=legacy)"
                        : "FX areas X 0x0080, Y 0x00A0, M 0x0100 (the controllers' own)");
  return result;
}

Status LinkOpenA(int port) {
  return LinkOpen(port, kAFamily);
}

Status LinkClose(int port) {
  PlcLink *link = LinkLookup(port);
  if (!link) return kStatusPort;
  uint16_t linkPort;
  {
    PortGuard guard(static_cast<int>(link - links));
    link->status = kStatusOk;
    linkPort = link->port;
  }
  PortRelease(linkPort);
  return kStatusOk;
}
