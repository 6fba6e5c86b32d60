#include "rfc2217_line.h"

#include <cstdio>

namespace velsim {

namespace {

// Telnet (RFC 854) and its COM-PORT option (RFC 2217), as a server sees them.
constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, NOP = 241, SE = 240;
constexpr std::uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
constexpr std::uint8_t kServerOffset = 100;
constexpr std::uint8_t SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                       SET_CONTROL = 5, NOTIFY_MODEMSTATE = 7, SET_LINESTATE_MASK = 10,
                       SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;

const char *verbName(std::uint8_t verb) {
  switch (verb) {
  case WILL:
    return "WILL";
  case WONT:
    return "WONT";
  case DO:
    return "DO";
  default:
    return "DONT";
  }
}

std::string optionName(std::uint8_t option) {
  switch (option) {
  case BINARY:
    return "BINARY";
  case SGA:
    return "SUPPRESS-GO-AHEAD";
  case COM_PORT:
    return "COM-PORT-OPTION";
  default:
    return "option " + std::to_string(option);
  }
}

const char *parityName(std::uint8_t parity) {
  static const char *const names[] = {"?", "none", "odd", "even", "mark", "space"};
  return parity < 6 ? names[parity] : "?";
}

const char *stopName(std::uint8_t stop) {
  static const char *const names[] = {"?", "1", "2", "1.5"};
  return stop < 4 ? names[stop] : "?";
}

// "9600 8N1"
std::string lineName(const Rfc2217Line::Settings &s) {
  return std::to_string(s.baud) + " " + std::to_string(s.dataSize) + "NOEMS"[(s.parity + 4) % 5] +
         stopName(s.stopSize);
}

const char *flowName(std::uint8_t flow) {
  switch (flow) {
  case 1:
    return "no flow control";
  case 2:
    return "XON/XOFF flow control";
  case 3:
    return "hardware flow control";
  case 17:
    return "DCD flow control";
  case 18:
    return "DTR flow control";
  default:
    return "DSR flow control";
  }
}

// The settings a fault names, by their SET command and, for SET-CONTROL, the group of values.
const char *settingOf(std::uint8_t command, std::uint8_t control) {
  switch (command) {
  case SET_BAUDRATE:
    return "baud";
  case SET_DATASIZE:
    return "datasize";
  case SET_PARITY:
    return "parity";
  case SET_STOPSIZE:
    return "stopsize";
  case PURGE_DATA:
    return "purge";
  case SET_CONTROL:
    if (control >= 7 && control <= 9) return "dtr";
    if (control >= 10 && control <= 12) return "rts";
    if (control <= 3 || control >= 17) return "flow";
    return "other";
  default:
    return "other";
  }
}

constexpr const char *kSettingNames[] = {"baud", "datasize", "parity", "stopsize",
                                         "flow", "dtr",      "rts",    "purge"};

}  // namespace

std::string ServerFault::name() const {
  switch (kind) {
  case Kind::RefuseOption:
    return "refuse-option";
  case Kind::RefuseBinary:
    return "refuse-binary";
  case Kind::NoAnswer:
    return "no-answer=" + setting;
  case Kind::Refuse:
    return "refuse=" + setting;
  case Kind::Notify:
    return "notify";
  }
  return "?";
}

std::optional<ServerFault> parseServerFault(const std::string &text, std::string *error) {
  if (text == "refuse-option") return ServerFault{ServerFault::Kind::RefuseOption, ""};
  if (text == "refuse-binary") return ServerFault{ServerFault::Kind::RefuseBinary, ""};
  if (text == "notify") return ServerFault{ServerFault::Kind::Notify, ""};
  for (const char *prefix : {"no-answer=", "refuse="}) {
    const std::string p = prefix;
    if (text.compare(0, p.size(), p) != 0) continue;
    const std::string setting = text.substr(p.size());
    for (const char *known : kSettingNames)
      if (setting == known)
        return ServerFault{p == "refuse=" ? ServerFault::Kind::Refuse : ServerFault::Kind::NoAnswer, setting};
    *error = "unknown setting '" + setting + "' in server fault '" + text +
             "' (want baud, datasize, parity, stopsize, flow, dtr, rts or purge)";
    return std::nullopt;
  }
  *error = "unknown server fault '" + text + "' (see velsim --help)";
  return std::nullopt;
}

const char *serverFaultHelp() {
  return "  refuse-option       answer the COM-PORT option with DONT\n"
         "  refuse-binary       refuse binary transmission both ways\n"
         "  no-answer=SETTING   apply SETTING but never answer it\n"
         "  refuse=SETTING      keep SETTING as it is and answer with the value kept\n"
         "  notify              a modem-state notification and a NOP inside every answer\n"
         "SETTING: baud, datasize, parity, stopsize, flow, dtr, rts or purge.\n";
}

Rfc2217Line::Rfc2217Line(Family family, const std::string &host, int port)
    : TcpLine(family, host, port, "rfc2217://") {
  restart();
}

Rfc2217Line::~Rfc2217Line() {
  stop();  // the serving thread calls this class's hooks: end it before the members go
}

Rfc2217Line::Settings Rfc2217Line::settings() const {
  std::lock_guard lock(rfcMutex_);
  return settings_;
}

bool Rfc2217Line::lineMatches() const {
  std::lock_guard lock(rfcMutex_);
  return familyLine();
}

bool Rfc2217Line::familyLine() const {
  const bool fx = family() == Family::Fx;
  return settings_.baud == 9600 && settings_.dataSize == (fx ? 7 : 8) && settings_.parity == (fx ? 3 : 2) &&
         settings_.stopSize == 1 && settings_.flow == 1;
}

std::vector<Rfc2217Line::Change> Rfc2217Line::changes() const {
  std::lock_guard lock(rfcMutex_);
  return changes_;
}

void Rfc2217Line::clearChanges() {
  std::lock_guard lock(rfcMutex_);
  changes_.clear();
}

std::uint64_t Rfc2217Line::lineBytes() const {
  std::lock_guard lock(rfcMutex_);
  return lineBytes_;
}

std::uint64_t Rfc2217Line::lostBytes() const {
  std::lock_guard lock(rfcMutex_);
  return lostBytes_;
}

void Rfc2217Line::setServerFaults(std::vector<ServerFault> faults) {
  std::lock_guard lock(rfcMutex_);
  faults_ = std::move(faults);
}

bool Rfc2217Line::faulty(ServerFault::Kind kind, const char *setting) const {
  for (const ServerFault &f : faults_)
    if (f.kind == kind && f.setting == setting) return true;
  return false;
}

void Rfc2217Line::record(const std::string &what) {
  changes_.push_back({what, lineBytes_, std::chrono::steady_clock::now()});
}

void Rfc2217Line::traceNote(const std::string &text) {
  notes_.push_back("rfc2217 " + text);
}

void Rfc2217Line::sessionBegins() {
  std::lock_guard lock(rfcMutex_);
  in_ = In::Data;
  comPort_ = binaryIn_ = binaryOut_ = sgaIn_ = sgaOut_ = false;
  record("connected");
}

std::size_t Rfc2217Line::fromClient(std::uint8_t *bytes, std::size_t n, std::vector<std::uint8_t> &answer) {
  std::vector<std::string> notes;
  std::size_t out = 0;
  {
    std::lock_guard lock(rfcMutex_);
    const bool fx = family() == Family::Fx;
    bool match = familyLine();
    auto data = [&](std::uint8_t byte) {
      ++lineBytes_;
      if (match) {
        bytes[out++] = byte;
        losing_ = false;
        return;
      }
      ++lostBytes_;
      if (!losing_)
        traceNote("line " + lineName(settings_) + ", " + flowName(settings_.flow) + ": the " +
              (fx ? "FX controller needs 9600 7E1" : "A-series controller needs 9600 8O1") +
              " without flow control; bytes lost");
      losing_ = true;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t b = bytes[i];
      switch (in_) {
      case In::Data:
        if (b == IAC)
          in_ = In::Iac;
        else
          data(b);
        break;
      case In::Iac:
        in_ = In::Data;
        if (b == IAC) {
          data(b);
        } else if (b >= WILL && b <= DONT) {
          verb_ = b;
          in_ = In::Verb;
        } else if (b == SB) {
          sb_.clear();
          in_ = In::Sb;
        }
        break;
      case In::Verb:
        negotiate(verb_, b, answer);
        in_ = In::Data;
        break;
      case In::Sb:
        if (b == IAC)
          in_ = In::SbIac;
        else if (sb_.size() < 64)
          sb_.push_back(b);
        break;
      case In::SbIac:
        if (b == IAC) {
          if (sb_.size() < 64) sb_.push_back(b);
          in_ = In::Sb;
          break;
        }
        in_ = In::Data;
        if (b == SE) {
          subnegotiation(answer);
          // A setting changed in the middle of what arrived applies to the bytes after it.
          match = familyLine();
        }
        break;
      }
    }
    notes.swap(notes_);
  }
  for (const std::string &text : notes) note(text);
  return out;
}

void Rfc2217Line::negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t> &answer) {
  // The client asks the server to do something (DO/DONT) or says what it will do itself (WILL/WONT).
  const bool clients = verb == WILL || verb == WONT;
  const bool on = verb == WILL || verb == DO;
  bool *state = nullptr;
  bool refuse = false;
  if (option == BINARY) {
    state = clients ? &binaryIn_ : &binaryOut_;
    refuse = faulty(ServerFault::Kind::RefuseBinary);
  } else if (option == SGA) {
    state = clients ? &sgaIn_ : &sgaOut_;
  } else if (option == COM_PORT && clients) {
    state = &comPort_;
    refuse = faulty(ServerFault::Kind::RefuseOption);
  }
  std::uint8_t reply = 0;
  if (on && (!state || refuse)) {
    reply = clients ? DONT : WONT;
  } else if (on && !*state) {
    *state = true;
    reply = clients ? DO : WILL;
  } else if (!on && state && *state) {
    *state = false;
    reply = clients ? DONT : WONT;
  }
  std::string text = std::string("client ") + verbName(verb) + " " + optionName(option);
  if (reply) {
    answer.insert(answer.end(), {IAC, reply, option});
    text += std::string(" -> ") + verbName(reply);
  }
  traceNote(text);
}

void Rfc2217Line::subnegotiation(std::vector<std::uint8_t> &answer) {
  if (sb_.size() < 2 || sb_[0] != COM_PORT) return;
  if (!comPort_) {
    traceNote("COM-PORT command " + std::to_string(sb_[1]) + " before the option was agreed: ignored");
    return;
  }
  const std::vector<std::uint8_t> value(sb_.begin() + 2, sb_.end());
  setting(sb_[1], value, answer);
}

void Rfc2217Line::setting(std::uint8_t command, const std::vector<std::uint8_t> &value,
                          std::vector<std::uint8_t> &answer) {
  const std::uint8_t v = value.empty() ? 0 : value[0];
  const char *which = settingOf(command, v);
  const bool refuse = faulty(ServerFault::Kind::Refuse, which);
  const bool silent = faulty(ServerFault::Kind::NoAnswer, which);
  std::vector<std::uint8_t> reply;  // the value answered
  std::string what;                 // the change recorded, if any
  Settings &s = settings_;
  switch (command) {
  case SIGNATURE:
    if (value.empty()) {
      const std::string sig = std::string("velsim ") + familyName(family());
      reply.assign(sig.begin(), sig.end());
    } else {
      traceNote("client signature \"" + std::string(value.begin(), value.end()) + "\"");
      return;
    }
    break;
  case SET_BAUDRATE: {
    if (value.size() != 4) return;
    const std::uint32_t baud = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                               std::uint32_t{value[2]} << 8 | value[3];
    if (baud != 0) {
      what = "baud rate " + std::to_string(baud);
      if (!refuse) s.baud = baud;
    }
    reply = {static_cast<std::uint8_t>(s.baud >> 24), static_cast<std::uint8_t>(s.baud >> 16),
             static_cast<std::uint8_t>(s.baud >> 8), static_cast<std::uint8_t>(s.baud)};
    break;
  }
  case SET_DATASIZE:
    if (v >= 5 && v <= 8) {
      what = "data size " + std::to_string(v);
      if (!refuse) s.dataSize = v;
    }
    reply = {s.dataSize};
    break;
  case SET_PARITY:
    if (v >= 1 && v <= 5) {
      what = std::string("parity ") + parityName(v);
      if (!refuse) s.parity = v;
    }
    reply = {s.parity};
    break;
  case SET_STOPSIZE:
    if (v >= 1 && v <= 3) {
      what = std::string("stop size ") + stopName(v);
      if (!refuse) s.stopSize = v;
    }
    reply = {s.stopSize};
    break;
  case SET_CONTROL:
    if (v == 0) {
      reply = {s.flow};
    } else if ((v >= 1 && v <= 3) || (v >= 17 && v <= 19)) {
      what = flowName(v);
      if (!refuse) s.flow = v;
      reply = {s.flow};
    } else if (v == 7 || v == 8 || v == 9) {
      if (v != 7) {
        what = v == 8 ? "DTR on" : "DTR off";
        if (!refuse) s.dtr = v == 8;
      }
      reply = {static_cast<std::uint8_t>(s.dtr ? 8 : 9)};
    } else if (v == 10 || v == 11 || v == 12) {
      if (v != 10) {
        what = v == 11 ? "RTS on" : "RTS off";
        if (!refuse) s.rts = v == 11;
      }
      reply = {static_cast<std::uint8_t>(s.rts ? 11 : 12)};
    } else if (v == 4 || v == 5 || v == 6) {
      if (v != 4) what = v == 5 ? "break on" : "break off";
      reply = {static_cast<std::uint8_t>(v == 5 ? 5 : 6)};
    } else if (v >= 13 && v <= 16) {
      reply = {static_cast<std::uint8_t>(v == 13 ? 14 : v)};  // inbound flow control: not kept
    } else {
      return;
    }
    break;
  case SET_LINESTATE_MASK:
  case SET_MODEMSTATE_MASK:
    reply = {v};
    break;
  case PURGE_DATA:
    if (v < 1 || v > 3) return;
    what = "purge " + std::to_string(v);  // nothing is held back here: the answers go out at once
    reply = {v};
    break;
  default:
    traceNote("COM-PORT command " + std::to_string(command) + ": ignored");
    return;
  }
  if (!what.empty()) {
    record(what);
    traceNote("client " + what + (refuse ? " (refused, kept " + lineName(s) + ")" : ""));
  }
  if (silent) {
    traceNote("no answer (fault " + std::string(which) + ")");
    return;
  }
  answer.insert(answer.end(), {IAC, SB, COM_PORT, static_cast<std::uint8_t>(command + kServerOffset)});
  for (std::uint8_t b : reply) {
    answer.push_back(b);
    if (b == IAC) answer.push_back(IAC);
  }
  answer.insert(answer.end(), {IAC, SE});
}

void Rfc2217Line::toClient(std::vector<std::uint8_t> &bytes) {
  bool notify;
  {
    std::lock_guard lock(rfcMutex_);
    notify = faulty(ServerFault::Kind::Notify);
  }
  std::vector<std::uint8_t> out;
  out.reserve(bytes.size() * 2 + 16);
  const std::size_t middle = notify && bytes.size() >= 2 ? bytes.size() / 2 : bytes.size() + 1;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == middle)
      out.insert(out.end(), {IAC, SB, COM_PORT, kServerOffset + NOTIFY_MODEMSTATE, 0x30, IAC, SE, IAC, NOP});
    out.push_back(bytes[i]);
    if (bytes[i] == IAC) out.push_back(IAC);
  }
  bytes.swap(out);
}

}  // namespace velsim
