// velctl probe: which controller family answers on the port. FX first, then
// A-series; each with a read of one byte that every controller of the family
// has.
#include <cerrno>
#include <string>

#include "commands.h"
#include "output.h"
#include "settings.h"
#include "veldrv.h"

namespace {

struct Attempt {
  bool fx;
  const char *name;  // as printed: the value of -f
  const char *words;
  const char *line;
  operands::Span span;  // what is read
};

}  // namespace

int RunProbe(const Options &options) {
  if (StdoutWasClosed()) return StdoutFailed(EBADF);
  if (!PassSettings(options)) return kExitFailed;
  operands::Span fxSpan;  // M8000..M8007: every FX controller has them
  fxSpan.letter = 'S';
  fxSpan.start = 0x01E0;
  fxSpan.units = fxSpan.bytes = 1;
  operands::Span aSpan;  // data register D0
  aSpan.letter = 'D';
  aSpan.words = true;
  aSpan.units = 1;
  aSpan.bytes = 2;
  const Attempt attempts[] = {{true, "fx", "an FX controller", "9600 7E1", fxSpan},
                              {false, "a", "an A-series controller", "9600 8O1", aSpan}};
  std::string failures;
  for (const Attempt &attempt : attempts) {
    Options as = options;
    as.fx = attempt.fx;
    Link link(SetupOf(as));
    int status = link.Open();
    if (status != 0) return OpenFailed("probe", as, link, status);
    std::uint8_t bytes[2];
    std::int64_t done = 0;
    status = link.Read(attempt.span, bytes, &done);
    if (status == 0) {
      const std::string port = PortName(options);
      const std::string out = options.format == Format::Json
                                  ? "{\"port\":\"COM" + std::to_string(options.port + 1) +
                                        "\",\"family\":\"" + attempt.name + "\"}\n"
                                  : std::string(attempt.name) + "\n";
      if (!options.quiet) Say(std::string(attempt.words) + " answers on " + port + " (" + attempt.line + ")");
      if (!WriteOut(out)) return StdoutFailed(errno);
      return kExitOk;
    }
    failures += std::string(failures.empty() ? "" : "; ") + "as " + (attempt.fx ? "FX" : "A-series") + ": " +
                link.Reason(status) + " (" + std::to_string(status) + ")";
  }
  Say("probe: no controller answers on " + PortName(options) + ": " + failures);
  return kExitFailed;
}
