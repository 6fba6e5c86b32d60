// Every failure of both frame protocols, injected by the simulator into the
// first, a middle and the last frame of a 600-byte transfer (frames of 254,
// 254 and 92 bytes), checked at the exports: the status, what the library
// sent after the bad answer, what the caller's buffer or the controller's
// memory holds, and that the next transfer succeeds.
//
// A-series frames after the first of a transfer run no wake-up handshake (the
// link is ready), so the handshake rows hit frame 1 of a transfer that starts
// after a failure; rows with the same handshake fault armed on frames 2 and 3
// check that it never fires there and the transfer succeeds.
#include <chrono>

#include "e2e_fixture.h"

using namespace e2e;
using velsim::Family;
using velsim::Fault;
using velsim::FaultKind;
using velsim::FaultWhen;

namespace {

constexpr int kCount = 600;
constexpr int kFrameSize[] = {254, 254, 92};
constexpr int kFrameStart[] = {0, 254, 508};
constexpr uint16_t kReadAt = 0x2000;   // raw controller address of the read transfers
constexpr uint16_t kWriteAt = 0x3000;  // and of the write transfers
constexpr uint8_t kCanary = 0xEE;
constexpr uint8_t kBackground = 0xA5;  // controller memory under the write area
constexpr uint8_t kNak = 0x15;

struct Row {
  std::string name{};
  bool write = false;
  int frame = 1;  // 1..3: the frame the faults hit
  std::vector<Fault> faults{};
  int status = 0;             // at the export
  bool nak = false;           // the library answers the bad reply with NAK
  bool noRequest = false;     // the frame ends before its request (ENQ/ACK or handshake failed)
  int arrived = 0;            // read: data bytes of the failing frame that arrived whole
  bool nibble = false;        // FX read: the high nibble of the next byte arrived too
  bool stored = false;        // write: the controller stored the failing frame
  bool afterFailure = false;  // A: start after a failed transfer, so frame 1 runs the handshake
};

// gtest prints a failing row by its name.
void PrintTo(const Row &row, std::ostream *os) {
  *os << row.name;
}

std::string FrameName(int k) {
  return k == 1 ? "First" : k == 2 ? "Middle" : "Last";
}

// Completes a row and adds it: its name tells direction, failure and frame.
void AddRow(std::vector<Row> &rows, const std::string &what, bool write, int k, std::vector<Fault> faults,
            int status, Row row) {
  row.name = std::string(write ? "Write" : "Read") + what + "_" + FrameName(k);
  row.write = write;
  row.frame = k;
  row.faults = std::move(faults);
  row.status = status;
  rows.push_back(std::move(row));
}

// FX read reply of n bytes: STX, 2n hex characters, ETX, two checksum characters.
std::vector<Row> FxRows() {
  std::vector<Row> rows;
  for (int k = 1; k <= 3; k++) {
    const size_t n = static_cast<size_t>(kFrameSize[k - 1]);
    const size_t m = n / 2;  // a data byte in the middle of the frame
    auto add = [&](const char *what, bool write, std::vector<Fault> faults, int status, Row extra) {
      AddRow(rows, what, write, k, std::move(faults), status, std::move(extra));
    };
    for (bool write : {false, true}) {
      add("EnqAckTimeout", write, {Fault::handshakeTruncate(0)}, VEL_TIMEOUT, {.noRequest = true});
      add("EnqAckOther", write, {Fault::handshakeReplace(0, write ? 0x02 : kNak)}, VEL_WRONG_CHAR,
          {.noRequest = true});
    }
    add("StxTimeout", false, {Fault::truncate(0)}, VEL_TIMEOUT, {});
    add("StxOther", false, {Fault::replace(0, 0x06)}, VEL_WRONG_CHAR, {});
    // Cut after the first character of pair m: its nibble is decoded already.
    add("DataTimeout", false, {Fault::truncate(1 + 2 * m + 1)}, VEL_TIMEOUT,
        {.nak = true, .arrived = static_cast<int>(m), .nibble = true});
    // Lowercase first character of pair m: byte m stays untouched.
    add("DataNotHex", false, {Fault::replace(1 + 2 * m, 'c')}, VEL_WRONG_CHAR,
        {.nak = true, .arrived = static_cast<int>(m)});
    add("EtxTimeout", false, {Fault::truncate(1 + 2 * n)}, VEL_TIMEOUT, {.nak = true, .arrived = int(n)});
    add("EtxOther", false, {Fault::replace(1 + 2 * n, '0')}, VEL_WRONG_CHAR,
        {.nak = true, .arrived = int(n)});
    add("ChecksumCharTimeout", false, {Fault::truncate(2 * n + 3)}, VEL_TIMEOUT,
        {.nak = true, .arrived = int(n)});
    add("ChecksumCharNotHex", false, {Fault::replace(2 * n + 2, 'G')}, VEL_WRONG_CHAR,
        {.nak = true, .arrived = int(n)});
    add("ChecksumMismatch", false, {{FaultKind::WrongChecksum}}, VEL_CHECKSUM,
        {.nak = true, .arrived = int(n)});
    // The controller stored the frame; only its ACK is lost.
    add("AckTimeout", true, {Fault::truncate(0)}, VEL_TIMEOUT, {.stored = true});
    add("AckIsNak", true, {{FaultKind::WriteNak}}, VEL_WRONG_CHAR, {});
  }
  return rows;
}

// A-series read response of n bytes: length (2), marker, command, n data bytes, checksum.
std::vector<Row> ARows() {
  std::vector<Row> rows;
  auto add = [&](const std::string &what, bool write, int k, std::vector<Fault> faults, int status,
                 Row extra) { AddRow(rows, what, write, k, std::move(faults), status, std::move(extra)); };
  for (bool write : {false, true}) {
    add("HandshakeFirstMissing", write, 1, {Fault::handshakeTruncate(0)}, VEL_TIMEOUT,
        {.noRequest = true, .afterFailure = true});
    add("HandshakeSecondMissing", write, 1, {Fault::handshakeTruncate(1)}, VEL_TIMEOUT,
        {.noRequest = true, .afterFailure = true});
  }
  for (int k : {2, 3}) add("HandshakeFaultNotRun", false, k, {Fault::handshakeTruncate(0)}, VEL_OK, {});
  for (int k = 1; k <= 3; k++) {
    const size_t n = static_cast<size_t>(kFrameSize[k - 1]);
    const size_t m = n / 2;
    const auto wrongLow = static_cast<uint8_t>(n + 4);
    add("LengthLowMissing", false, k, {Fault::truncate(0)}, VEL_TIMEOUT, {});
    add("LengthHighMissing", false, k, {Fault::truncate(1)}, VEL_TIMEOUT, {});
    add("LengthLowWrong", false, k, {Fault::replace(0, wrongLow)}, VEL_WRONG_CHAR, {});
    add("LengthHighWrong", false, k, {Fault::replace(1, 0x80)}, VEL_WRONG_CHAR, {});
    // Both length bytes are awaited before the comparison.
    add("LengthLowWrongHighMissing", false, k, {Fault::replace(0, wrongLow), Fault::truncate(1)}, VEL_TIMEOUT,
        {});
    add("MarkerMissing", false, k, {Fault::truncate(2)}, VEL_TIMEOUT, {});
    add("MarkerOther", false, k, {Fault::replace(2, 0xFE)}, VEL_WRONG_CHAR, {});
    add("CommandMissing", false, k, {Fault::truncate(3)}, VEL_TIMEOUT, {});
    add("CommandOther", false, k, {Fault::replace(3, 0x04)}, VEL_WRONG_CHAR, {});
    add("DataMissing", false, k, {Fault::truncate(4 + m)}, VEL_TIMEOUT, {.arrived = static_cast<int>(m)});
    add("ChecksumMissing", false, k, {Fault::truncate(4 + n)}, VEL_TIMEOUT, {.arrived = int(n)});
    add("ChecksumOther", false, k, {{FaultKind::WrongChecksum}}, VEL_WRONG_CHAR, {.arrived = int(n)});
    // Write response 03 00 FF 04 06: the controller stored the frame before answering.
    const uint8_t other[] = {0x04, 0x01, 0xFE, 0x02, 0x07};
    for (size_t i = 0; i < 5; i++) {
      add("Response" + std::to_string(i) + "Missing", true, k, {Fault::truncate(i)}, VEL_TIMEOUT,
          {.stored = true});
      add("Response" + std::to_string(i) + "Other", true, k, {Fault::replace(i, other[i])}, VEL_WRONG_CHAR,
          {.stored = true});
    }
    add("ResponseNak", true, k, {{FaultKind::WriteNak}}, VEL_WRONG_CHAR, {});
  }
  return rows;
}

// What the library sends as the request of frame k (after ENQ/ACK, or after the session prefix).
Bytes FxRequest(bool write, int k, const Bytes &data) {
  const int n = kFrameSize[k - 1];
  const unsigned address = (write ? kWriteAt : kReadAt) + kFrameStart[k - 1];
  char text[8];
  std::snprintf(text, sizeof text, "%c%04X%02X", write ? '1' : '0', address, n);
  std::string body = text;
  for (int i = 0; write && i < n; i++) {
    std::snprintf(text, sizeof text, "%02X", data[static_cast<size_t>(kFrameStart[k - 1] + i)]);
    body += text;
  }
  uint8_t sum = 0x03;
  for (char c : body) sum = static_cast<uint8_t>(sum + c);
  std::snprintf(text, sizeof text, "%02X", sum);
  Bytes out;
  out.push_back(0x02);
  for (char c : body) out.push_back(static_cast<uint8_t>(c));
  out.push_back(0x03);
  out.push_back(static_cast<uint8_t>(text[0]));
  out.push_back(static_cast<uint8_t>(text[1]));
  return out;
}

Bytes ARequest(bool write, int k, const Bytes &data) {
  const int n = kFrameSize[k - 1];
  const unsigned address = (write ? kWriteAt : kReadAt) + kFrameStart[k - 1];
  const unsigned length = write ? n + 7 : 7;
  Bytes out{static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8),
            0xFF,
            static_cast<uint8_t>(write ? 0x04 : 0x02),
            static_cast<uint8_t>(address),
            static_cast<uint8_t>(address >> 8),
            0x00,
            static_cast<uint8_t>(n)};
  for (int i = 0; write && i < n; i++) out.push_back(data[static_cast<size_t>(kFrameStart[k - 1] + i)]);
  uint8_t sum = 0;
  for (uint8_t b : out) sum = static_cast<uint8_t>(sum + b);
  out.push_back(sum);
  return out;
}

template <Family F, int Com>
class Matrix : public SharedLink<F, Com>, public ::testing::WithParamInterface<Row> {
 protected:
  using Base = SharedLink<F, Com>;

  void Run() {
    const Row &row = this->GetParam();
    auto &line = Base::line;
    const int h = Base::handle;
    const bool fx = F == Family::Fx;
    const uint64_t errorsBefore = line->protocolErrors();
    const Bytes memory = Pattern(kCount, static_cast<uint8_t>(row.frame * 17 + row.write));
    Bytes data = Pattern(kCount, static_cast<uint8_t>(row.frame * 29 + 3));
    line->write(kReadAt, memory);
    line->fill(kWriteAt, kCount, kBackground);
    if (row.afterFailure) {
      line->setFault({FaultKind::WrongLength}, FaultWhen::Once);
      Bytes two(2);
      ASSERT_EQ(VelRdB(h, 'S', kReadAt, 2, two.data()), VEL_WRONG_CHAR);
    }
    ASSERT_TRUE(line->settle());
    line->clearWire();
    line->clearTrace();
    const uint64_t first = line->frames() + 1;
    for (size_t i = 0; i < row.faults.size(); i++) {
      if (i == 0)
        line->setFault(row.faults[i], FaultWhen::OnFrame, first + row.frame - 1);
      else
        line->addFault(row.faults[i], FaultWhen::OnFrame, first + row.frame - 1);
    }

    // The transfer: reads through the word export (D area at the raw address), writes through the byte one.
    Bytes buffer(kCount, kCanary);
    const auto started = std::chrono::steady_clock::now();
    const int status = row.write ? VelWrB(h, 'S', kWriteAt, kCount, data.data())
                                 : VelRdW(h, 'S', kReadAt, kCount / 2, buffer.data());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(status, row.status);
    if (row.status == VEL_TIMEOUT) {
      EXPECT_LT(took, std::chrono::milliseconds(3000));
    }
    ASSERT_TRUE(line->settle(std::chrono::milliseconds(2000)));
    line->clearFaults();

    // The library's last bytes: the failing frame's request (or ENQ / AA B0), then NAK or nothing.
    const Bytes sent = line->wireBytes(velsim::WireDir::FromLibrary);
    Bytes tail;
    if (row.status == VEL_OK) {
      tail = fx ? FxRequest(row.write, 3, data) : ARequest(row.write, 3, data);
    } else if (row.noRequest) {
      tail = fx ? Bytes{0x05} : Bytes{0xAA, 0xB0};
    } else {
      tail = fx ? FxRequest(row.write, row.frame, data) : ARequest(row.write, row.frame, data);
    }
    if (row.nak) tail.push_back(kNak);
    ASSERT_GE(sent.size(), tail.size());
    EXPECT_EQ(Bytes(sent.end() - static_cast<long>(tail.size()), sent.end()), tail)
        << "the library did not stop after the failing frame, or sent the wrong thing";
    size_t requests = 0;
    for (const velsim::TraceEntry &e : line->trace())
      requests += e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write;
    const int framesDone = row.status == VEL_OK ? 3 : row.frame - (row.noRequest ? 1 : 0);
    EXPECT_EQ(requests, static_cast<size_t>(framesDone));

    const size_t failStart = row.status == VEL_OK ? kCount : static_cast<size_t>(kFrameStart[row.frame - 1]);
    if (!row.write) {
      // Completed frames and the data bytes that arrived; the rest untouched.
      Bytes expected(kCount, kCanary);
      std::copy(memory.begin(), memory.begin() + static_cast<long>(failStart + row.arrived),
                expected.begin());
      if (row.nibble) expected[failStart + row.arrived] = memory[failStart + row.arrived] & 0xF0;
      EXPECT_EQ(buffer, expected);
    } else {
      // Frames before the failure written, the failing one as the controller took it, none after.
      Bytes expected(kCount, kBackground);
      size_t written = failStart + (row.stored ? static_cast<size_t>(kFrameSize[row.frame - 1]) : 0);
      std::copy(data.begin(), data.begin() + static_cast<long>(written), expected.begin());
      EXPECT_EQ(line->read(kWriteAt, kCount), expected);
    }

    // The next transfer starts afresh and succeeds.
    if (!row.write) {
      Bytes again(kCount, kCanary);
      ASSERT_EQ(VelRdW(h, 'S', kReadAt, kCount / 2, again.data()), VEL_OK);
      EXPECT_EQ(again, memory);
    } else {
      Bytes next = Pattern(kCount, 0x55);
      ASSERT_EQ(VelWrB(h, 'S', kWriteAt, kCount, next.data()), VEL_OK);
      ASSERT_TRUE(line->settle());
      EXPECT_EQ(line->read(kWriteAt, kCount), next);
    }
    EXPECT_EQ(line->protocolErrors(), errorsBefore) << "a request arrived malformed";
  }
};

using FxMatrix = Matrix<Family::Fx, 1>;
using AMatrix = Matrix<Family::A, 2>;

TEST_P(FxMatrix, Row) {
  Run();
}
TEST_P(AMatrix, Row) {
  Run();
}

std::string RowName(const ::testing::TestParamInfo<Row> &info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Fx, FxMatrix, ::testing::ValuesIn(FxRows()), RowName);
INSTANTIATE_TEST_SUITE_P(A, AMatrix, ::testing::ValuesIn(ARows()), RowName);

}  // namespace
