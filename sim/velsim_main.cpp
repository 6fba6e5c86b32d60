// velsim: serves a simulated FX or A-series controller on a pseudo-terminal or a serial device.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim.h"

namespace {

using namespace velsim;

void usage(FILE *out) {
  std::fprintf(out,
               "usage: velsim --family fx|a (--dir DIR --com N | --device PATH) [options]\n"
               "\n"
               "Simulates an FX-series or A-series controller until SIGINT or SIGTERM.\n"
               "\n"
               "  --family fx|a       controller family: FX (9600 7E1, ASCII hex frames) or\n"
               "                      A-series (9600 8O1, binary frames, session handshake)\n"
               "  --dir DIR --com N   create a pseudo-terminal and link DIR/COMN to it (N >= 1);\n"
               "                      the link is removed on exit\n"
               "  --device PATH       serve an existing serial device instead, set to the family's\n"
               "                      line settings (e.g. a second adapter on a null-modem cable)\n"
               "  --trace             print one line per decoded request and its answer\n"
               "  --pace              emulate wire time at 9600 baud in both directions\n"
               "                      (10 bits a character for FX, 11 for A-series)\n"
               "  --fault NAME[@K]    inject a fault, on exchange K only (1-based) or, without @K,\n"
               "                      on every exchange; may be given more than once\n"
               "  --session-byte B    A-series: session byte handed out by the handshake\n"
               "                      (default 0x31; 0x00 allowed)\n"
               "  --memory FILE       preload the memory image from address 0 with the raw bytes\n"
               "                      of FILE (at most 65536)\n"
               "  --help              show this text\n"
               "\n"
               "Numbers are decimal or 0x hex. An exchange is one frame attempt of the client:\n"
               "FX, an ENQ (or a STX without ENQ); A-series, a handshake or a session prefix\n"
               "that starts a request. Faults (I = byte index from 0, V = byte value):\n"
               "%s",
               faultHelp());
}

[[noreturn]] void bad(const std::string &msg) {
  std::fprintf(stderr, "velsim: %s\n(try velsim --help)\n", msg.c_str());
  std::exit(2);
}

struct Options {
  std::optional<Family> family;
  std::string dir;
  std::optional<std::uint64_t> com;
  std::string device;
  bool trace = false;
  bool pace = false;
  std::vector<ScheduledFault> faults;
  std::optional<std::uint8_t> sessionByte;
  std::string memoryFile;
};

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) bad("option " + arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--family") {
      std::string v = value();
      if (v == "fx" || v == "FX") {
        o.family = Family::Fx;
      } else if (v == "a" || v == "A") {
        o.family = Family::A;
      } else {
        bad("unknown family '" + v + "' (want fx or a)");
      }
    } else if (arg == "--dir") {
      o.dir = value();
    } else if (arg == "--com") {
      std::string v = value();
      o.com = parseNumber(v);
      if (!o.com || *o.com < 1 || *o.com > 256) bad("bad COM number '" + v + "' (want 1..256)");
    } else if (arg == "--device") {
      o.device = value();
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--pace") {
      o.pace = true;
    } else if (arg == "--fault") {
      std::string error;
      auto f = parseFault(value(), &error);
      if (!f) bad(error);
      o.faults.push_back(*f);
    } else if (arg == "--session-byte") {
      std::string v = value();
      auto b = parseNumber(v);
      if (!b || *b > 0xFF) bad("bad session byte '" + v + "' (want 0..255)");
      o.sessionByte = static_cast<std::uint8_t>(*b);
    } else if (arg == "--memory") {
      o.memoryFile = value();
    } else {
      bad("unknown option '" + arg + "'");
    }
  }
  if (!o.family) bad("--family fx|a is required");
  const bool pty = !o.dir.empty() || o.com;
  if (pty && !o.device.empty()) bad("give either --dir and --com or --device, not both");
  if (!pty && o.device.empty()) bad("give --dir DIR --com N or --device PATH");
  if (pty && (o.dir.empty() || !o.com)) bad("--dir and --com go together");
  if (o.sessionByte && *o.family != Family::A) bad("--session-byte is for --family a only");
  for (const ScheduledFault &f : o.faults) {
    if (!f.fault.appliesTo(*o.family)) {
      bad("fault '" + f.fault.name() + "' does not apply to the " + familyName(*o.family) + " family");
    }
  }
  return o;
}

std::vector<std::uint8_t> loadMemory(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) bad("cannot read memory file '" + file + "'");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > 65536) bad("memory file '" + file + "' is larger than 65536 bytes");
  return bytes;
}

// Opens a real serial device with the family's line settings: 9600 baud, 7E1 (FX) or 8O1 (A), raw.
int openDevice(const std::string &path, Family family) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "velsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | PARENB | (family == Family::Fx ? CS7 : CS8 | PARODD);
    t.c_iflag |= INPCK;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
      std::fprintf(stderr, "velsim: cannot set line settings on %s: %s\n", path.c_str(),
                   std::strerror(errno));
    }
  }
  return fd;
}

}  // namespace

int main(int argc, char **argv) {
  Options o = parse(argc, argv);
  std::vector<std::uint8_t> image;
  if (!o.memoryFile.empty()) image = loadMemory(o.memoryFile);

  // SIGINT and SIGTERM are taken by sigwait below; the serving thread inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const Family family = *o.family;
  const char *what = family == Family::Fx ? "FX controller" : "A-series controller";
  std::unique_ptr<LineServer> line;
  int deviceFd = -1;
  try {
    if (o.device.empty()) {
      line = std::make_unique<PtyLine>(family, o.dir, static_cast<int>(*o.com));
    } else {
      line = std::make_unique<LineServer>(family);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  line->stop();  // configure before serving
  line->write(0, std::span<const std::uint8_t>(image));
  if (o.sessionByte) line->setSessionByte(*o.sessionByte);
  for (const ScheduledFault &f : o.faults) line->addFault(f.fault, f.when, f.frame);
  line->setPace(o.pace);
  line->setKeepHistory(false);  // serves until interrupted: keep nothing that grows
  if (o.trace) {
    line->setTraceHook([](const TraceEntry &e) {
      std::printf("%s\n", e.text.c_str());
      std::fflush(stdout);
    });
  }

  if (auto *pty = dynamic_cast<PtyLine *>(line.get())) {
    pty->restart();
    std::printf("velsim: %s on %s (%s)\n", what, pty->path().c_str(), pty->slaveName().c_str());
  } else {
    deviceFd = openDevice(o.device, family);
    line->serve(deviceFd);
    std::printf("velsim: %s on %s\n", what, o.device.c_str());
  }
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  line.reset();  // stops serving and removes the link
  if (deviceFd >= 0) close(deviceFd);
  return 0;
}
