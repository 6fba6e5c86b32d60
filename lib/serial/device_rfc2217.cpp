// Backend of rfc2217:// ports: a TCP connection to a serial device server
// that speaks the telnet COM-PORT option (RFC 2217). Through it the library
// sets the server's line (baud rate, character format, no flow control),
// drives DTR and RTS, and purges what the server received from its line.
// The bytes travel through kTcpDevice on the same Device (its Linux or
// Windows socket calls); the telnet layer (telnet.cpp) and this file are the
// same on both platforms.
//
// Every open is a new connection and sets the whole line, so a port that one
// controller family closed opens for the other with that family's settings.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "backends.h"
#include "base/clock.h"
#include "telnet.h"
#include "trace/trace.h"

namespace {

using namespace telnet;

// The server's answers to the options and to the line settings each come
// within 2 s of the request. DTR and RTS answers that are still missing
// when the line's are complete get 100 ms more, then the open goes on
// without them: a port without modem lines (a pseudo-terminal behind
// ser2net) never answers them.
constexpr int64_t kAnswerNs = 2000 * 1000000LL;
constexpr int64_t kModemLinesGraceNs = 100 * 1000000LL;
constexpr int64_t kCommandWriteNs = 200 * 1000000LL;  // a few bytes of a command, as one byte's write

struct State {
  Decoder decoder;
  Options options;
  int8_t port;
  bool purgePending;  // PURGE-DATA goes out ahead of the next bytes sent
};

State &StateOf(Device &d) {
  return BackendState<State>(d);
}

// The settings an open asks for, in the order sent.
enum Setting { kBaud, kDataSize, kParity, kStopSize, kFlow, kDtr, kRts, kSettings };

struct Expected {
  uint8_t command;
  uint32_t want;
  bool answered;
  uint32_t got;
};

// What the sink works with while a read or an open takes the telnet
// commands out: the answers to the server's option requests, and during an
// open the settings whose answers it waits for.
struct Session {
  Device *d;
  uint8_t reply[48];
  size_t replyLength;
  Expected *expected;  // nullptr outside an open
};

// SET-CONTROL values come in groups; an answer names the group's state.
enum ControlGroup { kGroupFlow, kGroupBreak, kGroupDtr, kGroupRts, kGroupInbound };

ControlGroup GroupOf(uint32_t value) {
  if (value >= 4 && value <= 6) return kGroupBreak;
  if (value >= 7 && value <= 9) return kGroupDtr;
  if (value >= 10 && value <= 12) return kGroupRts;
  if (value >= 13 && value <= 16) return kGroupInbound;
  return kGroupFlow;  // 0..3 and 17..19 (DCD, DTR, DSR flow control)
}

// "baud rate 9600", "parity even", "RTS off", ...
void Describe(uint8_t command, uint32_t value, char *text, size_t size) {
  static const char *const kParity[] = {"?", "none", "odd", "even", "mark", "space"};
  static const char *const kStop[] = {"?", "1", "2", "1.5"};
  static const char *const kControl[] = {"flow control?",
                                         "no flow control",
                                         "XON/XOFF flow control",
                                         "hardware flow control",
                                         "break?",
                                         "break on",
                                         "break off",
                                         "DTR?",
                                         "DTR on",
                                         "DTR off",
                                         "RTS?",
                                         "RTS on",
                                         "RTS off",
                                         "inbound flow control?",
                                         "no inbound flow control",
                                         "inbound XON/XOFF flow control",
                                         "inbound hardware flow control",
                                         "DCD flow control",
                                         "DTR flow control",
                                         "DSR flow control"};
  switch (command % kAnswerOffset) {
  case kSetBaudRate:
    std::snprintf(text, size, "baud rate %u", value);
    break;
  case kSetDataSize:
    std::snprintf(text, size, "data size %u", value);
    break;
  case kSetParity:
    std::snprintf(text, size, "parity %s", value < 6 ? kParity[value] : "?");
    break;
  case kSetStopSize:
    std::snprintf(text, size, "stop size %s", value < 4 ? kStop[value] : "?");
    break;
  case kSetControl:
    std::snprintf(text, size, "%s", value < 20 ? kControl[value] : "control?");
    break;
  case kPurgeData:
    std::snprintf(text, size, "purged %s",
                  value == 1   ? "its receive buffer"
                  : value == 2 ? "its transmit buffer"
                  : value == 3 ? "both buffers"
                               : "?");
    break;
  default:
    std::snprintf(text, size, "%s %u", CommandName(command) ? CommandName(command) : "command", value);
  }
}

// The state bits of NOTIFY-LINESTATE and NOTIFY-MODEMSTATE, for the trace.
void DescribeBits(uint8_t bits, bool line, char *text, size_t size) {
  static const char *const kLine[] = {"data ready",           "overrun error", "parity error",
                                      "framing error",        "break",         "holding register empty",
                                      "shift register empty", "time-out error"};
  static const char *const kModem[] = {"CTS changed", "DSR changed", "RI ended", "DCD changed",
                                       "CTS",         "DSR",         "RI",       "DCD"};
  int used = std::snprintf(text, size, "%s 0x%02X", line ? "line state" : "modem state", bits);
  const char *sep = " (";
  for (int i = 0; i < 8 && used > 0 && static_cast<size_t>(used) < size; i++) {
    if (!(bits & (1 << i))) continue;
    used += std::snprintf(text + used, size - static_cast<size_t>(used), "%s%s", sep,
                          line ? kLine[i] : kModem[i]);
    sep = ", ";
  }
  if (bits && used > 0 && static_cast<size_t>(used) < size) std::snprintf(text + used, size - used, ")");
}

// The server's answer to a setting of the open: the first unanswered one of
// its command (and control group).
void NoteAnswer(Expected *expected, uint8_t command, uint32_t value) {
  for (int i = 0; i < kSettings; i++) {
    Expected &e = expected[i];
    if (e.answered || e.command != command) continue;
    if (command == kSetControl && GroupOf(e.want) != GroupOf(value)) continue;
    e.answered = true;
    e.got = value;
    return;
  }
}

void OnSubnegotiation(Session &s, const Event &e) {
  State &st = StateOf(*s.d);
  char text[160];
  if (e.option != kComPort || e.length == 0) {
    if (Tracing())
      TraceNote(st.port, "rfc2217 < subnegotiation of option %u (%u bytes), ignored", e.option, e.length);
    return;
  }
  const uint8_t command = e.value[0];
  const uint8_t *v = e.value + 1;
  const size_t n = e.length - 1u;
  uint32_t value = 0;
  for (size_t i = 0; i < n && i < 4; i++) value = value << 8 | v[i];
  switch (command) {
  case kAnswerOffset + kSetBaudRate:
  case kAnswerOffset + kSetDataSize:
  case kAnswerOffset + kSetParity:
  case kAnswerOffset + kSetStopSize:
  case kAnswerOffset + kSetControl:
  case kAnswerOffset + kPurgeData:
    if (s.expected) NoteAnswer(s.expected, static_cast<uint8_t>(command - kAnswerOffset), value);
    if (Tracing()) {
      Describe(command, value, text, sizeof text);
      TraceNote(st.port, "rfc2217 < %s", text);
    }
    break;
  case kAnswerOffset + kNotifyLineState:
  case kAnswerOffset + kNotifyModemState:
    if (Tracing()) {
      DescribeBits(static_cast<uint8_t>(value), command == kAnswerOffset + kNotifyLineState, text,
                   sizeof text);
      TraceNote(st.port, "rfc2217 < %s", text);
    }
    break;
  case kAnswerOffset + kSignature:
    if (Tracing()) TraceNote(st.port, "rfc2217 < signature \"%.*s\"", static_cast<int>(n), v);
    break;
  default:
    if (Tracing())
      TraceNote(st.port, "rfc2217 < %s (%u), ignored",
                CommandName(command) ? CommandName(command) : "command", command);
  }
}

// Called by TakeOut for each telnet command the server sent.
void OnEvent(void *context, const Event &e) {
  Session &s = *static_cast<Session *>(context);
  State &st = StateOf(*s.d);
  if (e.kind == Event::kSubnegotiation) return OnSubnegotiation(s, e);
  if (e.kind == Event::kCommand) return;  // NOP, go-ahead, data mark: nothing to do
  uint8_t answer[3];
  const size_t n = Answer(st.options, e.verb, e.option, answer);
  if (n && s.replyLength + n <= sizeof s.reply) {
    std::memcpy(s.reply + s.replyLength, answer, n);
    s.replyLength += n;
  }
  if (Tracing()) {
    char option[24];
    if (const char *name = OptionName(e.option))
      std::snprintf(option, sizeof option, "%s", name);
    else
      std::snprintf(option, sizeof option, "option %u", e.option);
    if (n)
      TraceNote(st.port, "rfc2217 < %s %s, answered %s", VerbName(e.verb), option, VerbName(answer[1]));
    else
      TraceNote(st.port, "rfc2217 < %s %s", VerbName(e.verb), option);
  }
}

// Takes the telnet commands out of data in place and sends the answers
// they need; returns the number of data bytes.
size_t TakeOutCommands(Device &d, uint8_t *data, size_t n, Expected *expected) {
  Session s{&d, {}, 0, expected};
  const size_t kept = TakeOut(StateOf(d).decoder, data, n, OnEvent, &s);
  if (s.replyLength) {
    char why[160];
    kTcpDevice.write(d, NowNs() + kCommandWriteNs, s.reply, s.replyLength, why, sizeof why);
  }
  return kept;
}

// What a server wrote as text during the open ("Port already in use", from
// a server that serves another client): its printable characters, cut.
struct ServerWords {
  char text[48];
  size_t length;
  void Add(const uint8_t *data, size_t n) {
    for (size_t i = 0; i < n && length + 1 < sizeof text; i++) {
      const char c = data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : ' ';
      if (c != ' ' || (length && text[length - 1] != ' ')) text[length++] = c;
    }
    text[length] = '\0';
    while (length && text[length - 1] == ' ') text[--length] = '\0';
  }
};

// Reads and handles the server's commands until done() or deadlineNs; data
// bytes that arrive meanwhile are dropped (the open purges them anyway), and
// kept in words as text. False at the deadline, or with *lost when the
// connection ended.
template <typename Done>
bool Await(Device &d, Expected *expected, int64_t deadlineNs, Done done, ServerWords &words, bool *lost,
           char *why, size_t whySize) {
  uint8_t buffer[512];
  while (!done()) {
    if (NowNs() >= deadlineNs) return false;  // a server that keeps sending holds no open
    size_t got = 0;
    const IoResult r = kTcpDevice.read(d, deadlineNs, 1, buffer, sizeof buffer, &got, why, whySize);
    if (r == IoResult::kTimeout) return false;
    if (r != IoResult::kDone) {
      *lost = true;
      return false;
    }
    words.Add(buffer, TakeOutCommands(d, buffer, got, expected));
  }
  return true;
}

bool Fail(Device &d, DeviceOpenInfo &info, OpenFailure failure, const char *format, const char *detail = "") {
  info.failure = failure;
  std::snprintf(info.osText, sizeof info.osText, format, detail);
  kTcpDevice.close(d);
  return false;
}

// The connection ended, or would not take a write, during the open: what the
// OS said, and what the server said before it closed.
bool Lost(Device &d, DeviceOpenInfo &info, const char *during, const char *why, const ServerWords &words) {
  info.failure = OpenFailure::kServerClosed;
  if (words.length)
    std::snprintf(info.osText, sizeof info.osText, "%s: %s; it said \"%s\"", during, why, words.text);
  else
    std::snprintf(info.osText, sizeof info.osText, "%s: %s", during, why);
  kTcpDevice.close(d);
  return false;
}

bool Open(Device &d, int port, const char *address, const LineSettings &line, DeviceOpenInfo &info) {
  const bool connected = kTcpDevice.open(d, port, address, line, info);
  std::snprintf(info.path, sizeof info.path, "rfc2217://%s", address);
  if (!connected) return false;
  State &st = StateOf(d);
  st = State{};
  st.port = static_cast<int8_t>(port);
  char why[160] = "";
  bool lost = false;
  ServerWords words{};

  // The COM-PORT option, and binary transmission both ways: A-series data
  // take every byte value, and a carriage return must not become CR NUL.
  uint8_t ask[9];
  size_t n = Ask(st.options, true, kComPort, ask);
  n += Ask(st.options, true, kBinary, ask + n);
  n += Ask(st.options, false, kBinary, ask + n);
  if (Tracing()) TraceNote(port, "rfc2217 > WILL COM-PORT-OPTION, WILL BINARY, DO BINARY");
  if (kTcpDevice.write(d, NowNs() + kCommandWriteNs, ask, n, why, sizeof why) != IoResult::kDone)
    return Lost(d, info, "during the telnet negotiation", why, words);
  const uint8_t comPort = Bit(kComPort), binary = Bit(kBinary);
  const Options &o = st.options;
  auto settled = [&] {
    return ((o.ours & comPort) || (o.refusedOurs & comPort)) &&
           ((o.ours & binary) || (o.refusedOurs & binary)) &&
           ((o.theirs & binary) || (o.refusedTheirs & binary));
  };
  if (!Await(d, nullptr, NowNs() + kAnswerNs, settled, words, &lost, why, sizeof why)) {
    if (lost) return Lost(d, info, "during the telnet negotiation", why, words);
    if (!(o.ours & comPort) && !(o.refusedOurs & comPort))
      return Fail(d, info, OpenFailure::kNoComPort,
                  "no answer to the COM-PORT option within 2 s; a raw TCP port is tcp://");
    return Fail(d, info, OpenFailure::kNoComPort, "no answer to binary transmission within 2 s");
  }
  if (o.refusedOurs & comPort)
    return Fail(d, info, OpenFailure::kNoComPort, "the server refused the COM-PORT option");
  if ((o.refusedOurs | o.refusedTheirs) & binary)
    return Fail(d, info, OpenFailure::kNoComPort, "the server refused binary transmission");

  // The line, and DTR and RTS on, sent in one piece.
  Expected expected[kSettings] = {
      {kSetBaudRate, line.baudRate, false, 0},
      {kSetDataSize, line.byteSize, false, 0},
      {kSetParity,
       line.parity == 1u   ? kParityOdd
       : line.parity == 2u ? kParityEven
                           : kParityNone,
       false, 0},
      {kSetStopSize, kStopOne, false, 0},
      {kSetControl, kControlNoFlow, false, 0},
      {kSetControl, kControlDtrOn, false, 0},
      {kSetControl, kControlRtsOn, false, 0},
  };
  uint8_t commands[kSettings * kCommandBytes];
  n = 0;
  char sent[160] = "";
  int used = 0;
  for (const Expected &e : expected) {
    uint8_t value[4] = {static_cast<uint8_t>(e.want >> 24), static_cast<uint8_t>(e.want >> 16),
                        static_cast<uint8_t>(e.want >> 8), static_cast<uint8_t>(e.want)};
    const bool wide = e.command == kSetBaudRate;
    n += ComPortCommand(e.command, wide ? value : value + 3, wide ? 4 : 1, commands + n);
    char text[48];
    Describe(e.command, e.want, text, sizeof text);
    if (used >= 0 && static_cast<size_t>(used) < sizeof sent)
      used +=
          std::snprintf(sent + used, sizeof sent - static_cast<size_t>(used), "%s%s", used ? ", " : "", text);
  }
  if (Tracing()) TraceNote(port, "rfc2217 > %s", sent);
  if (kTcpDevice.write(d, NowNs() + kCommandWriteNs, commands, n, why, sizeof why) != IoResult::kDone)
    return Lost(d, info, "while sending the line settings", why, words);
  auto lineAnswered = [&] {
    for (int i = kBaud; i <= kFlow; i++)
      if (!expected[i].answered) return false;
    return true;
  };
  if (!Await(d, expected, NowNs() + kAnswerNs, lineAnswered, words, &lost, why, sizeof why)) {
    if (lost) return Lost(d, info, "during the line settings", why, words);
    for (int i = kBaud; i <= kFlow; i++) {
      if (expected[i].answered) continue;
      char text[48];
      Describe(expected[i].command, expected[i].want, text, sizeof text);
      return Fail(d, info, OpenFailure::kLineRefused, "no answer to %s within 2 s", text);
    }
  }
  auto modemAnswered = [&] { return expected[kDtr].answered && expected[kRts].answered; };
  if (!Await(d, expected, NowNs() + kModemLinesGraceNs, modemAnswered, words, &lost, why, sizeof why) && lost)
    return Lost(d, info, "during the line settings", why, words);
  for (const Expected &e : expected) {
    if (!e.answered || e.got == e.want) continue;
    char want[48], got[48], text[160];
    Describe(e.command, e.want, want, sizeof want);
    Describe(e.command, e.got, got, sizeof got);
    std::snprintf(text, sizeof text, "asked for %s, the server answered %s", want, got);
    return Fail(d, info, OpenFailure::kLineRefused, "%s", text);
  }
  if (Tracing() && !modemAnswered()) {
    const bool dtr = !expected[kDtr].answered, rts = !expected[kRts].answered;
    TraceNote(port,
              "rfc2217: no answer to %s%s%s (a port without modem lines?): RTS changes may not reach the "
              "server's line",
              dtr ? "DTR on" : "", dtr && rts ? " and " : "", rts ? "RTS on" : "");
  }
  return true;
}

void Close(Device &d) {
  // As a serial port's close: DTR dropped (nothing waits for the answer).
  uint8_t command[kCommandBytes];
  const uint8_t off = kControlDtrOff;
  const size_t n = ComPortCommand(kSetControl, &off, 1, command);
  char why[160];
  kTcpDevice.write(d, NowNs() + kCommandWriteNs, command, n, why, sizeof why);
  kTcpDevice.close(d);
}

void Abandon(Device &d) {
  kTcpDevice.abandon(d);
}

// Drops what arrived and was not read (the server's commands in it still
// count), at most 5 ms of it, and has the server drop what it received from
// its line: PURGE-DATA goes out ahead of the next request, in one piece with
// it. What the server has still to send on its line is left alone, as the
// serial port lets bytes already handed over go out.
void Purge(Device &d) {
  const int64_t until = NowNs() + 5 * 1000000LL;
  uint8_t junk[512];
  char why[160];
  while (NowNs() < until) {
    size_t got = 0;
    if (kTcpDevice.read(d, 0, 1, junk, sizeof junk, &got, why, sizeof why) != IoResult::kDone) break;
    TakeOutCommands(d, junk, got, nullptr);
  }
  StateOf(d).purgePending = true;
}

// Reads through the telnet layer: what arrives may be the server's commands
// only, and then the wait goes on for data until the deadline.
IoResult Read(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, char *why,
              size_t whySize) {
  for (;;) {
    const IoResult r = kTcpDevice.read(d, deadlineNs, want, data, size, got, why, whySize);
    if (r != IoResult::kDone) return r;
    *got = TakeOutCommands(d, data, *got, nullptr);
    if (*got > 0) return IoResult::kDone;
    if (NowNs() >= deadlineNs) return IoResult::kTimeout;
    want = 1;
  }
}

// The bytes with 0xFF doubled, after a pending PURGE-DATA, in one piece
// where they fit.
IoResult Write(Device &d, int64_t deadlineNs, const uint8_t *data, size_t n, char *why, size_t whySize) {
  State &st = StateOf(d);
  uint8_t out[1100];
  size_t at = 0;
  if (st.purgePending) {
    at = ComPortCommand(kPurgeData, &kPurgeReceived, 1, out);
    st.purgePending = false;
  }
  while (at > 0 || n > 0) {
    const size_t take = std::min(n, (sizeof out - at) / 2);
    at += Escape(data, take, out + at);
    data += take;
    n -= take;
    if (const IoResult r = kTcpDevice.write(d, deadlineNs, out, at, why, whySize); r != IoResult::kDone)
      return r;
    at = 0;
  }
  return IoResult::kDone;
}

// SET-CONTROL in order with the bytes around it: the server changes RTS
// when the command reaches it, after the bytes sent before it. Whether those
// have left its line by then is the server's timing.
bool SetRts(Device &d, bool high) {
  State &st = StateOf(d);
  uint8_t out[2 * kCommandBytes];
  size_t at = 0;
  if (st.purgePending) {
    at = ComPortCommand(kPurgeData, &kPurgeReceived, 1, out);
    st.purgePending = false;
  }
  const uint8_t value = high ? kControlRtsOn : kControlRtsOff;
  at += ComPortCommand(kSetControl, &value, 1, out + at);
  char why[160];
  return kTcpDevice.write(d, NowNs() + kCommandWriteNs, out, at, why, sizeof why) == IoResult::kDone;
}

void Pause(Device &d, uint32_t ms) {
  kTcpDevice.pause(d, ms);
}

}  // namespace

const DeviceOps kRfc2217Device = {"rfc2217://", kCapLineSettings | kCapModemLines | kCapSettles,
                                  16,           Open,
                                  Close,        Abandon,
                                  Purge,        Read,
                                  Write,        SetRts,
                                  Pause};
