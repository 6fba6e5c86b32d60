// The backends, and the choice among them by the name VELDRV_COM<n> holds:
// the first whose scheme starts the name, else the serial ports.
#include <cstdio>
#include <cstring>

#include "backends.h"
#include "base/settings.h"

namespace {

// The serial ports come last: they take every name without a scheme.
const DeviceOps *const kBackends[] = {&kTcpDevice, &kRfc2217Device, &kSerialDevice};

}  // namespace

bool DeviceOpen(Device &d, int port, const LineSettings &line, DeviceOpenInfo &info) {
  info = DeviceOpenInfo{};
  d = Device{};
  char variable[24];
  std::snprintf(variable, sizeof variable, "VELDRV_COM%d", port + 1);
  char value[sizeof info.path];
  const Setting setting = ReadSetting(variable, value, sizeof value);
  if (setting == Setting::kTooLong) {  // never another device instead
    info.failure = OpenFailure::kBadName;
    std::snprintf(info.path, sizeof info.path, "%s", variable);
    std::snprintf(info.osText, sizeof info.osText, "longer than %zu characters", sizeof value - 1);
    return false;
  }
  const char *named = setting == Setting::kSet ? value : nullptr;
  for (const DeviceOps *ops : kBackends) {
    const size_t length = ops->scheme ? std::strlen(ops->scheme) : 0;
    if (ops->scheme && (!named || std::strncmp(named, ops->scheme, length) != 0)) continue;
    d.ops = ops;
    if (ops->open(d, port, named ? named + length : nullptr, line, info)) return true;
    break;
  }
  d = Device{};
  return false;
}
