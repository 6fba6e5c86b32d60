#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "numbers.h"
#include "options.h"
#include "platform.h"

namespace {

constexpr std::string_view kSchemes[] = {"tcp://", "rfc2217://"};
// The library takes a setting of up to 31 characters; a longer one counts
// as not understood.
constexpr size_t kSettingChars = 31;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool CheckDevice(std::string_view device, std::string *error) {
  const std::string shown = "bad device '" + std::string(device) + "': ";
  if (device.empty()) {
    *error = "the device path is empty";
    return false;
  }
  std::string_view scheme;
  for (std::string_view s : kSchemes)
    if (StartsWithNoCase(device, s)) scheme = s;
  if (scheme.empty()) return true;
  if (device.substr(0, scheme.size()) != scheme) {
    *error = shown + "write the scheme in lower case, " + std::string(scheme);
    return false;
  }
  const std::string_view address = device.substr(scheme.size());
  std::string_view host, port;
  if (!address.empty() && address[0] == '[') {  // [IPv6]:PORT
    const size_t close = address.find(']');
    if (close != std::string_view::npos && close + 1 < address.size() && address[close + 1] == ':') {
      host = address.substr(1, close - 1);
      port = address.substr(close + 2);
    }
  } else if (const size_t colon = address.rfind(':');
             colon != std::string_view::npos && address.find(':') == colon) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
  }
  if (host.empty()) {
    const std::string s(scheme);
    *error = shown + s + " takes HOST:PORT (" + s + "192.168.0.50:4001, " + s + "[fd00::50]:4001)";
    return false;
  }
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) digits = digits && c >= '0' && c <= '9';
  const auto number = digits ? ParseCount(port, 65535) : std::nullopt;
  if (!number || *number == 0) {
    *error = shown + "the TCP port is a number from 1 to 65535";
    return false;
  }
  return true;
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
