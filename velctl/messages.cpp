#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "options.h"
#include "platform.h"
#include "transfers.h"
#include "veldrv.h"

namespace {

// The path the library opens for the port, as it finds it on Linux.
std::string DevicePath(const Options &o) {
  if (!o.device.empty()) return o.device;
  const std::string variable = "VELDRV_COM" + std::to_string(o.port + 1);
  if (const char *named = std::getenv(variable.c_str()); named && *named) return named;
  if (const char *dir = std::getenv("VELDRV_DEVICE_DIR"); dir && *dir)
    return std::string(dir) + "/COM" + std::to_string(o.port + 1);
  return "/dev/ttyS" + std::to_string(o.port);
}

void Report(const std::string &what, const std::string &reason, int status, const std::string &after) {
  std::fprintf(stderr, "velctl: %s: %s (%d)%s\n", what.c_str(), reason.c_str(), status, after.c_str());
}

}  // namespace

int BadUsage(const std::string &message) {
  std::fprintf(stderr, "velctl: %s\nTry 'velctl --help' for more information.\n", message.c_str());
  return kExitUsage;
}

void Say(const std::string &message) {
  std::fprintf(stderr, "velctl: %s\n", message.c_str());
}

int OpenFailed(const std::string &what, const Options &o, const Link &link, int status) {
  Report(what, link.Reason(status), status, {});
  if (status == VEL_PORT) {
    const std::string hint = AccessHint(DevicePath(o));
    if (!hint.empty()) Say(hint);
  }
  return kExitFailed;
}

int TransferFailed(const std::string &what, const Options &o, const Link &link, int status,
                   const std::string &after) {
  const std::string reason = link.Reason(status);
  Report(what, reason, status, after);
  // Silence right after the open, on a line that is still there: most often
  // the other family, which speaks another character format.
  if (status == VEL_TIMEOUT && link.WasFirstTransfer() && reason.find("device lost") == std::string::npos)
    Say(o.fx
            ? "check -f: an A-series controller answers 8O1, an FX controller 7E1 (velctl probe tries both)"
            : "check -f: an FX controller answers 7E1, an A-series controller 8O1 (velctl probe tries both)");
  return kExitFailed;
}

int StdoutFailed(int error) {
  Say(std::string("cannot write to standard output: ") +
      (error == EBADF ? "it is closed" : std::strerror(error)));
  return kExitFailed;
}
