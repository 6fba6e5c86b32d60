// velgw: serves FX-series and A-series controllers on serial lines to SCADA
// and IIoT over Modbus TCP and MQTT, through the VELDRV library.
#include <cstdio>
#include <cstring>
#include <string>

#include "gateway.h"
#include "help_text.h"
#include "program.h"

int main(int argc, char **argv) {
  ProgramStart();
  std::string config, check;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(velgw::HelpText(), stdout);
      return 0;
    }
    if (arg == "--version" || arg == "-V") {
      std::printf("velgw %s\n", ProgramVersion());
      return 0;
    }
    bool ok;
    if (arg == "--config" || arg == "-c") {
      ok = value(&config);
    } else if (arg == "--check") {
      ok = value(&check);
    } else if (arg.rfind("--config=", 0) == 0) {
      config = arg.substr(9);
      ok = true;
    } else if (arg.rfind("--check=", 0) == 0) {
      check = arg.substr(8);
      ok = true;
    } else {
      std::fprintf(stderr, "velgw: unknown argument '%s' (velgw --help shows the usage)\n", argv[i]);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "velgw: %s needs a file name\n", arg.c_str());
      return 2;
    }
  }
  if (!check.empty() && !config.empty()) {
    std::fprintf(stderr, "velgw: give either --config FILE or --check FILE\n");
    return 2;
  }
  if (!check.empty()) return velgw::CheckConfig(check);
  if (config.empty()) {
    std::fprintf(stderr, "velgw: no configuration: velgw --config FILE (velgw --help shows the usage)\n");
    return 2;
  }
  return velgw::RunGateway(config);
}
