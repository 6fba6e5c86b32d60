#include "telnet.h"

namespace telnet {

namespace {

enum State : uint8_t {
  kData,  // bytes of the line
  kAfterIac,
  kAfterVerb,  // IAC WILL/WONT/DO/DONT: the option comes next
  kInSb,       // IAC SB: option and value up to IAC SE
  kInSbIac,    // an IAC inside a subnegotiation
};

constexpr uint8_t kTheirsTaken = 1 | 2;    // binary, suppress-go-ahead
constexpr uint8_t kOursTaken = 1 | 2 | 4;  // and COM-PORT

void Keep(Decoder &d, uint8_t byte) {
  if (d.kept < kKeptBytes)
    d.sb[d.kept++] = byte;
  else
    d.cut = true;
}

void DeliverSb(Decoder &d, Sink sink, void *context) {
  if (d.kept == 0) return;  // IAC SB IAC SE: nothing to say
  const Event e = {Event::kSubnegotiation, kSb, d.sb[0], d.cut, static_cast<uint8_t>(d.kept - 1), d.sb + 1};
  sink(context, e);
}

// The byte after an IAC outside a subnegotiation.
void AfterIac(Decoder &d, uint8_t byte, Sink sink, void *context) {
  if (byte >= kWill && byte <= kDont) {
    d.verb = byte;
    d.state = kAfterVerb;
  } else if (byte == kSb) {
    d.kept = 0;
    d.cut = false;
    d.state = kInSb;
  } else {
    d.state = kData;
    const Event e = {Event::kCommand, byte, 0, false, 0, nullptr};
    sink(context, e);
  }
}

}  // namespace

size_t TakeOut(Decoder &d, uint8_t *data, size_t n, Sink sink, void *context) {
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    const uint8_t byte = data[i];
    switch (d.state) {
    case kData:
      if (byte == kIac)
        d.state = kAfterIac;
      else
        data[out++] = byte;
      break;
    case kAfterIac:
      if (byte == kIac) {  // a doubled 0xFF is a data byte
        data[out++] = byte;
        d.state = kData;
      } else {
        AfterIac(d, byte, sink, context);
      }
      break;
    case kAfterVerb: {
      d.state = kData;
      const Event e = {Event::kOption, d.verb, byte, false, 0, nullptr};
      sink(context, e);
      break;
    }
    case kInSb:
      if (byte == kIac)
        d.state = kInSbIac;
      else
        Keep(d, byte);
      break;
    case kInSbIac:
      if (byte == kIac) {
        Keep(d, byte);
        d.state = kInSb;
      } else if (byte == kSe) {
        d.state = kData;
        DeliverSb(d, sink, context);
      } else {
        // A command inside a subnegotiation ends it (a server that forgot
        // IAC SE); the command itself counts.
        DeliverSb(d, sink, context);
        AfterIac(d, byte, sink, context);
      }
      break;
    default:
      d.state = kData;
    }
  }
  return out;
}

uint8_t Bit(uint8_t option) {
  switch (option) {
  case kBinary:
    return 1;
  case kSuppressGoAhead:
    return 2;
  case kComPort:
    return 4;
  default:
    return 0;
  }
}

size_t Ask(Options &o, bool ours, uint8_t option, uint8_t *out) {
  (ours ? o.askedOurs : o.askedTheirs) |= Bit(option);
  out[0] = kIac;
  out[1] = ours ? kWill : kDo;
  out[2] = option;
  return 3;
}

size_t Answer(Options &o, uint8_t verb, uint8_t option, uint8_t *out) {
  const bool theirs = verb == kWill || verb == kWont;
  const bool wantsOn = verb == kWill || verb == kDo;
  uint8_t &on = theirs ? o.theirs : o.ours;
  uint8_t &asked = theirs ? o.askedTheirs : o.askedOurs;
  uint8_t &refused = theirs ? o.refusedTheirs : o.refusedOurs;
  const uint8_t bit = Bit(option) & (theirs ? kTheirsTaken : kOursTaken);
  uint8_t reply = 0;
  if (wantsOn) {
    if (!bit)
      reply = theirs ? kDont : kWont;  // not an option we take
    else if (!(on & bit) && !(asked & bit))
      reply = theirs ? kDo : kWill;
    if (bit) on |= bit;
    asked &= static_cast<uint8_t>(~bit);
  } else if (bit) {
    if (asked & bit)
      refused |= bit;  // the answer to our request: no answer to it
    else if (on & bit)
      reply = theirs ? kDont : kWont;
    on &= static_cast<uint8_t>(~bit);
    asked &= static_cast<uint8_t>(~bit);
  }
  if (!reply) return 0;
  out[0] = kIac;
  out[1] = reply;
  out[2] = option;
  return 3;
}

size_t ComPortCommand(uint8_t command, const uint8_t *value, size_t n, uint8_t *out) {
  size_t at = 0;
  out[at++] = kIac;
  out[at++] = kSb;
  out[at++] = kComPort;
  out[at++] = command;
  for (size_t i = 0; i < n && i < 4; i++) {
    out[at++] = value[i];
    if (value[i] == kIac) out[at++] = kIac;
  }
  out[at++] = kIac;
  out[at++] = kSe;
  return at;
}

size_t Escape(const uint8_t *in, size_t n, uint8_t *out) {
  size_t at = 0;
  for (size_t i = 0; i < n; i++) {
    out[at++] = in[i];
    if (in[i] == kIac) out[at++] = kIac;
  }
  return at;
}

const char *VerbName(uint8_t verb) {
  switch (verb) {
  case kWill:
    return "WILL";
  case kWont:
    return "WONT";
  case kDo:
    return "DO";
  case kDont:
    return "DONT";
  default:
    return "?";
  }
}

const char *OptionName(uint8_t option) {
  switch (option) {
  case kBinary:
    return "BINARY";
  case kEcho:
    return "ECHO";
  case kSuppressGoAhead:
    return "SUPPRESS-GO-AHEAD";
  case kComPort:
    return "COM-PORT-OPTION";
  default:
    return nullptr;
  }
}

const char *CommandName(uint8_t command) {
  static const char *const kNames[] = {"SIGNATURE",          "SET-BAUDRATE",       "SET-DATASIZE",
                                       "SET-PARITY",         "SET-STOPSIZE",       "SET-CONTROL",
                                       "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND",
                                       "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
                                       "PURGE-DATA"};
  if (command >= kAnswerOffset) command = static_cast<uint8_t>(command - kAnswerOffset);
  return command < sizeof kNames / sizeof kNames[0] ? kNames[command] : nullptr;
}

}  // namespace telnet
