// What a program accepts as a device name before it hands it to the library:
// a path, or tcp://HOST:PORT or rfc2217://HOST:PORT, HOST a name, an IPv4
// address or a bracketed IPv6 address, PORT 1..65535. The library would
// fail such an open with -4 anyway; the programs call it a usage error.
#pragma once

#include <string>
#include <string_view>

namespace device_address {

// True for a name the library takes. False with *why set to a sentence for
// the user ("the TCP port is a number from 1 to 65535").
bool Check(std::string_view device, std::string *why);

// True when the name has a network scheme (in any case).
bool IsNetwork(std::string_view device);

}  // namespace device_address
