// velgw at work: the configuration, the port workers, the Modbus server and
// the MQTT client, run until SIGTERM or SIGINT; SIGHUP reloads.
#pragma once

#include <string>

namespace velgw {

// Runs the gateway on the configuration file; the exit status.
int RunGateway(const std::string &path);

// Checks the configuration file and prints what it sets up; opens nothing.
// 0 when it is sound, 2 with its problems on standard error.
int CheckConfig(const std::string &path);

}  // namespace velgw
