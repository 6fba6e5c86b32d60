#include "tcp_address.h"

#include <netdb.h>

#include "fault.h"

namespace velsim {

std::optional<HostPort> parseHostPort(std::string_view text, const std::string &defaultHost,
                                      std::string *error) {
  HostPort out{defaultHost, 0};
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "bad address '" + std::string(text) + "' (want [IPV6]:PORT)";
      return std::nullopt;
    }
    out.host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (text.find(':') != colon) {
      *error = "bad address '" + std::string(text) + "' (write an IPv6 address in brackets: [::1]:PORT)";
      return std::nullopt;
    }
    if (colon > 0) out.host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  const auto number = parseNumber(port);
  if (out.host.empty() || !number || *number > 65535) {
    *error = "bad address '" + std::string(text) + "' (want HOST:PORT with PORT 0..65535)";
    return std::nullopt;
  }
  out.port = static_cast<int>(*number);
  return out;
}

std::string addressName(const sockaddr_storage &address) {
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr *>(&address), sizeof address, host, sizeof host, port,
              sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                       : std::string(host) + ":" + port;
}

}  // namespace velsim
