#include <cstdio>
#include <cstring>

#include "backends.h"

namespace {

bool Refuse(const char **why, const char *text) {
  if (why) *why = text;
  return false;
}

}  // namespace

// The port is 1 to 5 digits with a value of 1..65535: a resolver would cut a
// larger number to 16 bits (99999 becomes 34463) and reach another
// controller, and port 0 is no server's.
bool SplitHostPort(const char *address, char *host, size_t hostSize, char *service, size_t serviceSize,
                   const char **why) {
  const char *colon;
  const char *hostStart = address;
  size_t hostLength;
  if (*address == '[') {  // [v6 address]:port
    const char *close = std::strchr(address, ']');
    if (!close) return Refuse(why, "no ] after the IPv6 address");
    if (close[1] != ':') return Refuse(why, "no :PORT after the host");
    hostStart = address + 1;
    hostLength = static_cast<size_t>(close - hostStart);
    colon = close + 1;
  } else {
    colon = std::strrchr(address, ':');
    if (!colon) return Refuse(why, "no :PORT after the host");
    if (std::strchr(address, ':') != colon)
      return Refuse(why, "an IPv6 address goes in brackets ([fd00::50]:4001)");
    hostLength = static_cast<size_t>(colon - address);
  }
  const char *port = colon + 1;
  if (hostLength == 0) return Refuse(why, "no host before the port");
  if (hostLength >= hostSize) return Refuse(why, "the host name is too long");
  if (*port == '\0') return Refuse(why, "no port after the colon");
  const size_t digits = std::strlen(port);
  long value = 0;
  for (const char *c = port; *c; c++) {
    if (*c < '0' || *c > '9') return Refuse(why, "the port is not a number");
    if (value <= 65535) value = value * 10 + (*c - '0');
  }
  if (digits > 5 || value < 1 || value > 65535 || digits >= serviceSize)
    return Refuse(why, "the port is not one of 1..65535");
  std::memcpy(host, hostStart, hostLength);
  host[hostLength] = '\0';
  std::snprintf(service, serviceSize, "%s", port);
  return true;
}
