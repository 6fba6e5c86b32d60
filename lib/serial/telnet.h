// The telnet layer of an rfc2217:// port, without sockets: taking telnet
// commands out of the received bytes, answering the server's option
// requests, and building the commands of the COM-PORT option (RFC 854, 855,
// 856, 858, 2217). device_rfc2217.cpp puts it on a TCP connection.
#pragma once
#include <cstddef>
#include <cstdint>

namespace telnet {

// Commands (RFC 854).
constexpr uint8_t kSe = 240, kNop = 241, kDataMark = 242, kSb = 250, kWill = 251, kWont = 252, kDo = 253,
                  kDont = 254, kIac = 255;
// Options.
constexpr uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;

// COM-PORT commands from client to server; the server answers each with the
// command + 100 and the value it then has.
constexpr uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                  kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7, kFlowSuspend = 8,
                  kFlowResume = 9, kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kAnswerOffset = 100;
// Values.
constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3;
constexpr uint8_t kStopOne = 1;
constexpr uint8_t kControlNoFlow = 1, kControlDtrOn = 8, kControlDtrOff = 9, kControlRtsOn = 11,
                  kControlRtsOff = 12;
constexpr uint8_t kPurgeReceived = 1;  // what the server received from its line and not yet sent

// Longest command built here: IAC SB 44 command, a 4-byte value with every
// byte doubled, IAC SE.
constexpr size_t kCommandBytes = 14;

// A whole command taken out of the stream.
struct Event {
  enum Kind : uint8_t {
    kOption,          // verb (WILL, WONT, DO, DONT) and option
    kSubnegotiation,  // option, then value[0..length): the bytes after it, undoubled
    kCommand,         // verb: a two-byte command (NOP, GA, data mark, ...)
  } kind;
  uint8_t verb;
  uint8_t option;
  bool cut;  // a subnegotiation longer than kept: value holds its start
  uint8_t length;
  const uint8_t *value;
};
using Sink = void (*)(void *context, const Event &event);

constexpr size_t kKeptBytes = 16;  // of a subnegotiation, its option included

// Where the receiver stands between two reads: a command may be split
// anywhere, even between IAC and the byte after it.
struct Decoder {
  uint8_t state;  // internal
  uint8_t verb;
  uint8_t kept;  // bytes of the subnegotiation kept in sb
  bool cut;
  uint8_t sb[kKeptBytes];
};

// Takes every telnet command out of data[0..n) in place, undoubles IAC IAC
// to a data byte 0xFF, and calls sink for each command completed. Returns
// how many data bytes are left at the front of data.
size_t TakeOut(Decoder &decoder, uint8_t *data, size_t n, Sink sink, void *context);

// The options negotiated with the server, as the client wants them:
// binary transmission and suppress-go-ahead both ways, COM-PORT ours;
// everything else refused. Each bit pair is "on" and "asked for by us".
struct Options {
  uint8_t ours;    // we will: bits of Bit()
  uint8_t theirs;  // the server will
  uint8_t askedOurs, askedTheirs;
  uint8_t refusedOurs, refusedTheirs;  // asked for and refused
};
// The option's bit in Options, 0 for an option the client does not take.
uint8_t Bit(uint8_t option);
// Asks for an option ours (WILL) or theirs (DO); the 3 bytes to send into out.
size_t Ask(Options &options, bool ours, uint8_t option, uint8_t *out);
// The answer to the server's WILL, WONT, DO or DONT into out (0 or 3 bytes):
// each request answered once, a change we asked for taken without an answer.
size_t Answer(Options &options, uint8_t verb, uint8_t option, uint8_t *out);

// IAC SB COM-PORT command value IAC SE into out (kCommandBytes), 0xFF
// doubled; returns its length.
size_t ComPortCommand(uint8_t command, const uint8_t *value, size_t n, uint8_t *out);
// Doubles every 0xFF of in[0..n) into out (room for 2n); returns the length.
size_t Escape(const uint8_t *in, size_t n, uint8_t *out);

// Names for the trace.
const char *VerbName(uint8_t verb);        // "WILL", ...
const char *OptionName(uint8_t option);    // "BINARY", ... nullptr for others
const char *CommandName(uint8_t command);  // "SET-BAUDRATE", ... nullptr for others

}  // namespace telnet
