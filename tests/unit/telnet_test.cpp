// The telnet layer of rfc2217:// ports on its own: commands taken out of a
// stream split anywhere, the answers to the server's option requests, and
// the bytes of the COM-PORT commands.
#include "serial/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace telnet;
using Bytes = std::vector<uint8_t>;

namespace {

// What TakeOut left and reported, as text: data bytes in hex, events in
// brackets.
struct Taken {
  std::string text;
};

void Record(void *context, const Event &e) {
  std::string &t = static_cast<Taken *>(context)->text;
  char part[64];
  if (e.kind == Event::kOption) {
    std::snprintf(part, sizeof part, "[%s %u]", VerbName(e.verb), e.option);
  } else if (e.kind == Event::kCommand) {
    std::snprintf(part, sizeof part, "[cmd %u]", e.verb);
  } else {
    std::snprintf(part, sizeof part, "[sb %u%s:", e.option, e.cut ? " cut" : "");
    t += part;
    for (int i = 0; i < e.length; i++) {
      std::snprintf(part, sizeof part, " %02X", e.value[i]);
      t += part;
    }
    std::snprintf(part, sizeof part, "]");
  }
  t += part;
}

// Feeds stream in pieces ending at the given cut points; data bytes are
// recorded after the events of the piece they arrived in.
std::string Feed(const Bytes &stream, const std::vector<size_t> &cuts) {
  Decoder d{};
  Taken taken;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    Bytes piece(stream.begin() + static_cast<long>(from), stream.begin() + static_cast<long>(end));
    const size_t n = TakeOut(d, piece.data(), piece.size(), Record, &taken);
    for (size_t i = 0; i < n; i++) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X ", piece[i]);
      taken.text += hex;
    }
    from = end;
  }
  return taken.text;
}

}  // namespace

// A server's answer stream: option requests, data with a doubled 0xFF, a
// notification inside the data, a baud rate answer whose value holds 0xFF,
// a NOP; the same whatever the TCP reads cut it into.
TEST(Telnet, CommandsComeOutOfTheDataHoweverTheStreamIsCut) {
  const Bytes stream = {kIac,     kWill,    kSuppressGoAhead,
                        0x06,     0x02,     kIac,
                        kIac,     0x31,     kIac,
                        kSb,      kComPort, 107,
                        0x30,     kIac,     kSe,
                        0x03,     kIac,     kSb,
                        kComPort, 101,      0x00,
                        0x01,     kIac,     kIac,
                        0x00,     kIac,     kSe,
                        kIac,     kNop,     0xFF - 1};
  const std::string whole = Feed(stream, {});
  EXPECT_EQ(whole, "[WILL 3][sb 44: 6B 30][sb 44: 65 00 01 FF 00][cmd 241]06 02 FF 31 03 FE ");
  // Events and data of each piece in order: compare the data and the
  // events separately for the cut streams.
  auto split = [](const std::string &t) {
    std::string events, data;
    for (size_t i = 0; i < t.size();) {
      if (t[i] == '[') {
        const size_t end = t.find(']', i);
        events += t.substr(i, end - i + 1);
        i = end + 1;
      } else {
        data += t[i++];
      }
    }
    return std::make_pair(events, data);
  };
  const auto expected = split(whole);
  for (size_t cut = 1; cut < stream.size(); cut++) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(split(Feed(stream, {cut})), expected);
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < stream.size(); i++) everyByte.push_back(i);
  EXPECT_EQ(split(Feed(stream, everyByte)), expected);
}

// A subnegotiation longer than kept is reported cut; one the server forgot
// to end with IAC SE ends at the next command.
TEST(Telnet, LongAndUnendedSubnegotiations) {
  Bytes stream = {kIac, kSb, kComPort, 100};
  for (int i = 0; i < 40; i++) stream.push_back('x');
  stream.insert(stream.end(), {kIac, kSe, 0x41, kIac, kSb, kComPort, 106, 0x04, kIac, kWill, kBinary, 0x42});
  EXPECT_EQ(Feed(stream, {}),
            "[sb 44 cut: 64 78 78 78 78 78 78 78 78 78 78 78 78 78 78][sb 44: 6A 04][WILL 0]41 42 ");
}

// Each request answered once; our own requests taken without an answer;
// options the client does not take refused; refusals of ours noted.
TEST(Telnet, OptionNegotiationNeverLoops) {
  Options o{};
  uint8_t out[3];
  Bytes asked(9);
  size_t n = Ask(o, true, kComPort, asked.data());
  n += Ask(o, true, kBinary, asked.data() + n);
  n += Ask(o, false, kBinary, asked.data() + n);
  EXPECT_EQ(asked, (Bytes{kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary}));
  EXPECT_EQ(Answer(o, kDo, kComPort, out), 0u);  // the answer to our WILL
  EXPECT_EQ(Answer(o, kDo, kComPort, out), 0u);  // already on: no answer
  EXPECT_TRUE(o.ours & Bit(kComPort));
  EXPECT_EQ(Answer(o, kWill, kSuppressGoAhead, out), 3u);  // the server's own request: agreed
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{kIac, kDo, kSuppressGoAhead}));
  EXPECT_EQ(Answer(o, kWill, kSuppressGoAhead, out), 0u);
  EXPECT_EQ(Answer(o, kWill, kEcho, out), 3u);  // not taken
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{kIac, kDont, kEcho}));
  EXPECT_EQ(Answer(o, kDo, kEcho, out), 3u);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{kIac, kWont, kEcho}));
  EXPECT_EQ(Answer(o, kDont, kEcho, out), 0u);    // off already
  EXPECT_EQ(Answer(o, kWont, kBinary, out), 0u);  // the answer to our DO: a refusal
  EXPECT_TRUE(o.refusedTheirs & Bit(kBinary));
  EXPECT_EQ(Answer(o, kDont, kComPort, out), 3u);  // the server turns it off later: confirmed
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{kIac, kWont, kComPort}));
  EXPECT_FALSE(o.ours & Bit(kComPort));
}

TEST(Telnet, ComPortCommandsAndDataDoubleEvery0xFF) {
  uint8_t out[kCommandBytes];
  const uint8_t baud[] = {0x00, 0x01, 0xFF, 0xFF};
  size_t n = ComPortCommand(kSetBaudRate, baud, 4, out);
  EXPECT_EQ(Bytes(out, out + n),
            (Bytes{kIac, kSb, kComPort, kSetBaudRate, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}));
  const uint8_t parity = kParityOdd;
  n = ComPortCommand(kSetParity, &parity, 1, out);
  EXPECT_EQ(Bytes(out, out + n), (Bytes{kIac, kSb, kComPort, kSetParity, 2, kIac, kSe}));
  const Bytes data = {0x07, 0x00, 0xFF, 0x02, 0xFF, 0xFF};
  Bytes escaped(2 * data.size());
  escaped.resize(Escape(data.data(), data.size(), escaped.data()));
  EXPECT_EQ(escaped, (Bytes{0x07, 0x00, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}));
}
