#include "environment.h"

#include <stdlib.h>

#include <array>
#include <mutex>

#include "veldrv.h"

namespace velgw {

namespace {

struct Inherited {
  std::array<std::string, 16> com;
  std::string fxAreas;
  std::string frameBytes;
};

Inherited &Start() {
  static Inherited inherited;
  return inherited;
}

std::mutex &OpenMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string Get(const char *name) {
  const char *v = getenv(name);
  return v ? v : "";
}

std::string ComVariable(int port) {
  return "VELDRV_COM" + std::to_string(port + 1);
}

}  // namespace

void CaptureEnvironment() {
  Inherited &in = Start();
  for (int n = 0; n < 16; n++) {
    in.com[static_cast<std::size_t>(n)] = Get(ComVariable(n).c_str());
    setenv(ComVariable(n).c_str(), in.com[static_cast<std::size_t>(n)].c_str(), 1);
  }
  in.fxAreas = Get("VELDRV_FX_AREAS");
  in.frameBytes = Get("VELDRV_FRAME_BYTES");
  setenv("VELDRV_FX_AREAS", in.fxAreas.c_str(), 1);
  setenv("VELDRV_FRAME_BYTES", in.frameBytes.c_str(), 1);
}

int OpenLink(const ControllerConfig &c, std::string *reason) {
  const Inherited &in = Start();
  std::lock_guard<std::mutex> lock(OpenMutex());
  const std::string com = c.device.empty() ? in.com[static_cast<std::size_t>(c.portNumber)] : c.device;
  setenv(ComVariable(c.portNumber).c_str(), com.c_str(), 1);
  std::string areas = in.fxAreas;
  if (c.legacyAreas) areas = *c.legacyAreas ? "legacy" : "";
  setenv("VELDRV_FX_AREAS", areas.c_str(), 1);
  setenv("VELDRV_FRAME_BYTES", c.frameBytes ? std::to_string(*c.frameBytes).c_str() : in.frameBytes.c_str(),
         1);
  const int handle = VelOpen(c.portNumber, c.family == operands::Family::Fx ? 1 : 0);
  if (handle < 0) {
    char text[256] = "";
    VelReason(-1, text, sizeof text);
    *reason = text[0] ? text : VelStatusText(handle);
  }
  return handle;
}

int FrameBytes(const ControllerConfig &c) {
  if (c.frameBytes) return *c.frameBytes;
  const std::string &v = Start().frameBytes;
  int n = 0;
  for (char ch : v) {
    if (ch < '0' || ch > '9' || n > 254) return 254;
    n = n * 10 + (ch - '0');
  }
  return n >= 1 && n <= 254 ? n : 254;
}

bool LegacyAreas(const ControllerConfig &c) {
  if (c.family != operands::Family::Fx) return false;
  if (c.legacyAreas) return *c.legacyAreas;
  return Start().fxAreas == "legacy";
}

std::string PortName(const ControllerConfig &c) {
  const std::string com = "COM" + std::to_string(c.portNumber + 1);
  return c.device.empty() ? com : com + " (" + c.device + ")";
}

}  // namespace velgw
