// velsim: serves a simulated FX or A-series controller on a pseudo-terminal, a serial device or a TCP
// port.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "program.h"
#include "sim.h"

namespace {

using namespace velsim;

constexpr std::size_t kMemoryBytes = 65536;

void usage(FILE *out) {
  std::fprintf(out,
               "usage: velsim (--family fx|a | --model MODEL)\n"
               "              (--dir DIR --com N | --device PATH | --listen HOST:PORT |\n"
               "               --listen-rfc2217 HOST:PORT)\n"
               "              [options]\n"
               "\n"
               "Simulates an FX-series or A-series controller until SIGINT, SIGTERM, SIGHUP or\n"
               "SIGPIPE.\n"
               "\n"
               "  --family fx|a       controller family: FX (9600 7E1, ASCII hex frames) or\n"
               "                      A-series (9600 8O1, binary frames, session handshake)\n"
               "  --model MODEL       an FX controller of that model (%s):\n"
               "                      D8001 and D8002 hold its model and memory codes, M8000\n"
               "                      is on (running), timer T0 counts up in steps of 100 ms,\n"
               "                      and the trace names the devices each frame touches;\n"
               "                      without it the FX controller is a bare memory image\n"
               "  --dir DIR --com N   create a pseudo-terminal and link DIR/COMN to it (N >= 1);\n"
               "                      an existing DIR/COMN is left alone (exit status 2), and on\n"
               "                      exit the link is removed if it is still velsim's own\n"
               "  --replace           with --dir: replace an existing symbolic link DIR/COMN\n"
               "  --device PATH       serve an existing serial device instead, set to the family's\n"
               "                      line settings (e.g. a second adapter on a null-modem cable)\n"
               "  --listen HOST:PORT  serve over raw TCP, one client at a time, as a serial device\n"
               "                      server does; HOST is a name, an IPv4 address or [IPv6], and\n"
               "                      127.0.0.1 when left out (--listen :PORT); PORT 0 takes a\n"
               "                      free port, shown on the start line. Raw TCP has no\n"
               "                      authentication: anyone who can reach the port can read and\n"
               "                      write the memory, so listen on other addresses only in a\n"
               "                      network you trust\n"
               "  --listen-rfc2217 HOST:PORT\n"
               "                      serve as a device server with an RFC 2217 port (the telnet\n"
               "                      COM-PORT option) on HOST:PORT, as --listen: the client sets\n"
               "                      the line (baud rate, character format, flow control), DTR\n"
               "                      and RTS; the controller answers only while the line is\n"
               "                      9600 7E1 (FX) or 9600 8O1 (A-series) without flow control,\n"
               "                      and the line starts at 9600 8N1. --trace shows what the\n"
               "                      client negotiated and set\n"
               "  --rfc2217-fault NAME  with --listen-rfc2217: make the server misbehave; may be\n"
               "                      given more than once (names below)\n"
               "  --trace             print one line per decoded request and its answer\n"
               "  --pace              emulate wire time at 9600 baud in both directions\n"
               "                      (10 bits a character for FX, 11 for A-series)\n"
               "  --fault NAME[@K]    inject a fault, on exchange K only (1-based) or, without @K,\n"
               "                      on every exchange; may be given more than once\n"
               "  --max-frame N       take at most N data bytes a frame (1..254, default 254), as\n"
               "                      controllers with a small buffer do: a larger request gets\n"
               "                      NAK (FX) or no answer (A-series)\n"
               "  --session-byte B    A-series: session byte handed out by the handshake\n"
               "                      (default 0x31; 0x00 allowed)\n"
               "  --memory FILE       preload the memory image from address 0 with the raw bytes\n"
               "                      of FILE, a regular file of at most 65536 bytes\n"
               "  --help              show this text\n"
               "  --version           show the version\n"
               "\n"
               "Numbers are decimal or 0x hex. An exchange is one frame attempt of the client:\n"
               "FX, an ENQ (or a STX without ENQ); A-series, a handshake or a session prefix\n"
               "that starts a request. Faults (I = byte index from 0, V = byte value):\n"
               "%s"
               "\n"
               "Server faults (--rfc2217-fault):\n"
               "%s",
               modelNames().c_str(), faultHelp(), serverFaultHelp());
}

// SIGPIPE is blocked (see main): a write into a closed pipe fails with EPIPE and leaves a SIGPIPE
// pending on the writing thread, which sigwait() in main would take for a request to stop.
void forgetSigpipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  timespec zero{0, 0};
  while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
  }
}

// Writes text and flushes; false (errno set) if the output is gone.
bool put(FILE *out, const std::string &text) {
  if (std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0) return true;
  const int e = errno;
  std::clearerr(out);
  forgetSigpipe();
  errno = e;
  return false;
}

[[noreturn]] void bad(const std::string &msg) {
  put(stderr, "velsim: " + msg + "\n(try velsim --help)\n");
  std::exit(2);
}

struct Options {
  std::optional<Family> family;
  const Model *model = nullptr;
  std::string dir;
  std::optional<std::uint64_t> com;
  bool replace = false;
  std::string device;
  std::optional<HostPort> listen;
  bool rfc2217 = false;
  std::vector<ServerFault> serverFaults;
  bool trace = false;
  bool pace = false;
  std::vector<ScheduledFault> faults;
  std::optional<std::uint8_t> sessionByte;
  std::optional<std::size_t> maxFrame;
  std::string memoryFile;
};

Options parse(int argc, char **argv) {
  Options o;
  bool rawListen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) bad("option " + arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("velsim %s\n", ProgramVersion());
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
    } else if (arg == "--model") {
      std::string v = value();
      o.model = findModel(v);
      if (!o.model) bad("unknown model '" + v + "' (want " + modelNames() + ")");
    } else if (arg == "--dir") {
      o.dir = value();
    } else if (arg == "--com") {
      std::string v = value();
      o.com = parseNumber(v);
      if (!o.com || *o.com < 1 || *o.com > 256) bad("bad COM number '" + v + "' (want 1..256)");
    } else if (arg == "--replace") {
      o.replace = true;
    } else if (arg == "--device") {
      o.device = value();
    } else if (arg == "--listen") {
      rawListen = true;
      std::string error;
      o.listen = parseHostPort(value(), "127.0.0.1", &error);
      if (!o.listen) bad(error);
    } else if (arg == "--listen-rfc2217") {
      std::string error;
      o.listen = parseHostPort(value(), "127.0.0.1", &error);
      if (!o.listen) bad(error);
      o.rfc2217 = true;
    } else if (arg == "--rfc2217-fault") {
      std::string error;
      auto f = parseServerFault(value(), &error);
      if (!f) bad(error);
      o.serverFaults.push_back(*f);
    } else if (arg == "--max-frame") {
      std::string v = value();
      auto n = parseNumber(v);
      if (!n || *n < 1 || *n > 254) bad("bad frame limit '" + v + "' (want 1..254)");
      o.maxFrame = static_cast<std::size_t>(*n);
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
  if (o.model && o.family && *o.family != Family::Fx)
    bad("--model plays an FX controller: not with --family a");
  if (o.model) o.family = Family::Fx;
  if (!o.family) bad("--family fx|a (or --model) is required");
  const bool pty = !o.dir.empty() || o.com;
  if (pty + !o.device.empty() + o.listen.has_value() > 1 || (rawListen && o.rfc2217))
    bad("give one of --dir and --com, --device, --listen or --listen-rfc2217");
  if (!pty && o.device.empty() && !o.listen)
    bad("give --dir DIR --com N, --device PATH, --listen HOST:PORT or --listen-rfc2217 HOST:PORT");
  if (!o.serverFaults.empty() && !o.rfc2217) bad("--rfc2217-fault goes with --listen-rfc2217");
  if (pty && (o.dir.empty() || !o.com)) bad("--dir and --com go together");
  if (o.replace && !pty) bad("--replace goes with --dir and --com");
  if (o.sessionByte && *o.family != Family::A) bad("--session-byte is for --family a only");
  for (const ScheduledFault &f : o.faults) {
    if (!f.fault.appliesTo(*o.family)) {
      bad("fault '" + f.fault.name() + "' does not apply to the " + familyName(*o.family) + " family");
    }
  }
  return o;
}

// A memory image: a regular file of at most 65536 bytes. Looked at before it is opened (opening a
// device can have effects of its own) and again through the open descriptor, and never read further
// than one byte past the limit: a FIFO, /dev/zero or a huge file is refused, not read.
std::vector<std::uint8_t> loadMemory(const std::string &file) {
  const std::string name = "memory file '" + file + "'";
  auto check = [&](const struct stat &st) {
    if (S_ISDIR(st.st_mode)) bad(name + " is a directory");
    if (!S_ISREG(st.st_mode)) bad(name + " is no regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > kMemoryBytes) {
      bad(name + " has " + std::to_string(st.st_size) + " bytes, more than " + std::to_string(kMemoryBytes));
    }
  };
  struct stat st;
  if (stat(file.c_str(), &st) != 0) bad("cannot read " + name + ": " + std::strerror(errno));
  check(st);
  int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) bad("cannot read " + name + ": " + std::strerror(errno));
  if (fstat(fd, &st) != 0) bad("cannot read " + name + ": " + std::strerror(errno));
  check(st);
  std::vector<std::uint8_t> bytes(kMemoryBytes + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) bad("cannot read " + name + ": " + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (got > kMemoryBytes) bad(name + " is larger than " + std::to_string(kMemoryBytes) + " bytes");
  bytes.resize(got);
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
  ProgramStart();
  // These signals end velsim through sigwait() below, which removes the link; every thread inherits
  // the mask. A SIGPIPE from a write into a closed trace pipe is thread-directed and is dropped where
  // it happens (put()); only one sent to the process stops it.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) sigaddset(&stopSignals, sig);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Options o = parse(argc, argv);
  std::vector<std::uint8_t> image;
  if (!o.memoryFile.empty()) image = loadMemory(o.memoryFile);

  const Family family = *o.family;
  std::string what = family == Family::Fx ? "FX controller" : "A-series controller";
  if (o.model) what += std::string(" (") + o.model->shown + ")";
  std::unique_ptr<LineServer> line;
  int deviceFd = -1;
  try {
    if (o.listen && o.rfc2217) {
      auto server = std::make_unique<Rfc2217Line>(family, o.listen->host, o.listen->port);
      server->setServerFaults(o.serverFaults);
      line = std::move(server);
    } else if (o.listen) {
      line = std::make_unique<TcpLine>(family, o.listen->host, o.listen->port);
    } else if (o.device.empty()) {
      line = std::make_unique<PtyLine>(family, o.dir, static_cast<int>(*o.com),
                                       o.replace ? ExistingLink::Replace : ExistingLink::Refuse);
    } else {
      line = std::make_unique<LineServer>(family);
    }
  } catch (const LinkExists &e) {
    put(stderr, std::string(e.what()) + "\n(--replace replaces a symbolic link, never a file)\n");
    return 2;
  } catch (const std::exception &e) {
    put(stderr, std::string(e.what()) + "\n");
    return 1;
  }
  line->stop();  // configure before serving
  line->write(0, std::span<const std::uint8_t>(image));
  line->setModel(o.model);  // after the image: the model's registers win
  if (o.sessionByte) line->setSessionByte(*o.sessionByte);
  if (o.maxFrame) line->setMaxFrame(*o.maxFrame);
  for (const ScheduledFault &f : o.faults) line->addFault(f.fault, f.when, f.frame);
  line->setPace(o.pace);
  line->setKeepHistory(false);  // serves until interrupted: keep nothing that grows
  if (o.trace) {
    // A trace output that goes away (velsim --trace | head) ends the trace, not the controller.
    line->setTraceHook([on = std::make_shared<std::atomic<bool>>(true)](const TraceEntry &e) {
      if (!*on || put(stdout, e.text + "\n")) return;
      *on = false;
      put(stderr, std::string("velsim: trace output failed (") + std::strerror(errno) +
                      "); tracing stopped, the controller goes on\n");
    });
  }
  line->setConnectionHook([](const std::string &event) { put(stderr, "velsim: " + event + "\n"); });

  std::string where;
  if (auto *pty = dynamic_cast<PtyLine *>(line.get())) {
    pty->restart();
    where = pty->path() + " (" + pty->slaveName() + ")";
  } else if (auto *tcp = dynamic_cast<TcpLine *>(line.get())) {
    tcp->restart();
    where = tcp->address();
  } else {
    deviceFd = openDevice(o.device, family);
    line->serve(deviceFd);
    where = o.device;
  }
  put(stdout, std::string("velsim: ") + what + " on " + where + "\n");

  int sig = 0;
  sigwait(&stopSignals, &sig);
  line.reset();  // stops serving and removes the link
  if (deviceFd >= 0) close(deviceFd);
  return 0;
}
