#include "device_address.h"

namespace device_address {
namespace {

constexpr std::string_view kSchemes[] = {"tcp://", "rfc2217://"};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view SchemeOf(std::string_view device) {
  for (std::string_view s : kSchemes)
    if (StartsWithNoCase(device, s)) return s;
  return {};
}

// 1 to 5 digits with a value of 1..65535.
bool IsTcpPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace

bool IsNetwork(std::string_view device) {
  return !SchemeOf(device).empty();
}

bool Check(std::string_view device, std::string *why) {
  if (device.empty()) {
    *why = "the device path is empty";
    return false;
  }
  const std::string_view scheme = SchemeOf(device);
  if (scheme.empty()) return true;
  if (device.substr(0, scheme.size()) != scheme) {
    // The library looks for the scheme as written: TCP://... would be a path.
    *why = "write the scheme in lower case, " + std::string(scheme);
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
    *why = s + " takes HOST:PORT (" + s + "192.168.0.50:4001, " + s + "[fd00::50]:4001)";
    return false;
  }
  if (!IsTcpPort(port)) {
    *why = "the TCP port is a number from 1 to 65535";
    return false;
  }
  return true;
}

}  // namespace device_address
