#include <cstdio>
#include <cstring>

#include "backends.h"

bool SplitHostPort(const char *address, char *host, size_t hostSize, char *service, size_t serviceSize) {
  const char *colon;
  const char *hostStart = address;
  size_t hostLength;
  if (*address == '[') {  // [v6 address]:port
    const char *close = std::strchr(address, ']');
    if (!close || close[1] != ':') return false;
    hostStart = address + 1;
    hostLength = static_cast<size_t>(close - hostStart);
    colon = close + 1;
  } else {
    colon = std::strrchr(address, ':');
    if (!colon || std::strchr(address, ':') != colon) return false;  // a bare v6 address needs brackets
    hostLength = static_cast<size_t>(colon - address);
  }
  const char *port = colon + 1;
  if (hostLength == 0 || hostLength >= hostSize || *port == '\0' || std::strlen(port) >= serviceSize)
    return false;
  for (const char *c = port; *c; c++)
    if (*c < '0' || *c > '9') return false;
  std::memcpy(host, hostStart, hostLength);
  host[hostLength] = '\0';
  std::snprintf(service, serviceSize, "%s", port);
  return true;
}
