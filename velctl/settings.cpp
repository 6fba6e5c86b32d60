#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_address.h"
#include "options.h"
#include "platform.h"

namespace {

// The library takes a setting of up to 31 characters; a longer one counts
// as not understood.
constexpr size_t kSettingChars = 31;

}  // namespace

bool CheckDevice(std::string_view device, std::string *error) {
  std::string why;
  if (device_address::Check(device, &why)) return true;
  *error = device.empty() ? why : "bad device '" + std::string(device) + "': " + why;
  return false;
}

bool PassSettings(const Options &o) {
  std::string variable = "VELDRV_COM" + std::to_string(o.port + 1);
  bool ok = true;
  if (!o.device.empty()) ok = SetVariable(variable.c_str(), o.device.c_str()) && ok;
  if (o.trace) ok = SetVariable("VELDRV_TRACE", "stderr") && ok;
  if (o.maxFrame) ok = SetVariable("VELDRV_FRAME_BYTES", std::to_string(o.maxFrame).c_str()) && ok;
  if (!ok) std::fprintf(stderr, "velctl: cannot set the library's settings in the environment\n");
  return ok;
}

int FrameBytes(const Options &o) {
  if (o.maxFrame) return o.maxFrame;
  const char *setting = std::getenv("VELDRV_FRAME_BYTES");
  if (!setting || !*setting || std::strlen(setting) > kSettingChars) return 254;
  // As the library: strtol in base 10 over the whole value.
  char *end = nullptr;
  const long n = std::strtol(setting, &end, 10);
  return *end == '\0' && n >= 1 && n <= 254 ? static_cast<int>(n) : 254;
}

bool LegacyFxAreas() {
  const char *setting = std::getenv("VELDRV_FX_AREAS");
  return setting && std::strcmp(setting, "legacy") == 0;
}

std::string PortName(const Options &o) {
  std::string name = "COM" + std::to_string(o.port + 1);
  if (!o.device.empty()) name += " (" + o.device + ")";
  return name;
}
