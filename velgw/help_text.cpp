#include "help_text.h"

namespace velgw {

const char *HelpText() {
  return R"(Usage: velgw --config FILE
       velgw --check FILE

Serves FX-series and A-series controllers on serial lines (or serial device
servers) to SCADA and IIoT over Modbus TCP and MQTT, through the VELDRV
library. One worker per port polls the tags that are due, joining
neighbouring addresses into few transfers; a controller that fails
`failures` times in a row goes off scan for a back-off and comes back by
itself.

  -c, --config FILE   run the gateway with the configuration FILE (TOML)
      --check FILE    check FILE: every problem as FILE:LINE: reason, exit 2;
                      nothing is opened
  -h, --help          this text
  -V, --version       the version

Modbus TCP: one unit id per controller; reads are answered from the last
poll (exception 0x0B when the controller is offline or the value is older
than the group's max_age, 0x0A for an unknown unit, 0x02 for an unmapped
address, 0x03 for a bad count); writes are answered once the controller has
acknowledged them (0x04 when it failed).

MQTT topics under the prefix P:
  P/availability                   velgw: online, or offline (its last will)
  P/CONTROLLER/availability        online or offline
  P/CONTROLLER/status              state, last status and reason, counts (JSON)
  P/CONTROLLER/TAG                 {"value":..,"quality":"good|stale|offline","ts":".."}
  P/CONTROLLER/TAG/set             write: a value, or {"value":..,"id":..}
  P/CONTROLLER/TAG/set/result      {"ok":true,..} or {"ok":false,"error":..}

Signals: SIGTERM and SIGINT end it after the transfers under way; SIGHUP
reloads FILE (a configuration with problems is refused and the running one
kept). Log lines go to standard error, one per change of state.

Examples:
  velgw --check examples/velgw/plant.toml
  velgw --config examples/velgw/plant.toml

Exit status: 0 ended by a signal, or --check found nothing wrong; 1 the
Modbus port or the MQTT client could not be set up; 2 bad usage or a bad
configuration. The manual page velgw(1) describes the configuration.
)";
}

}  // namespace velgw
