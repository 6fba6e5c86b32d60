// TCP addresses as velsim names them: "127.0.0.1:502", "[::1]:502", "plc-gateway:4001".
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

namespace velsim {

struct HostPort {
  std::string host;  // a name, an IPv4 address or an IPv6 address (without brackets)
  int port = 0;      // 0..65535; 0 lets the system choose
};

// Parses "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT"; without a host, `defaultHost`.
// On failure returns nullopt and sets *error.
std::optional<HostPort> parseHostPort(std::string_view text, const std::string &defaultHost,
                                      std::string *error);

// "127.0.0.1:40000" or "[::1]:40000": the numeric form of a socket address.
std::string addressName(const sockaddr_storage &address);

}  // namespace velsim
