// Wire time of a transfer at 9600 baud: the characters its frames put on the line, and the pauses
// the A-series protocol holds around its session byte.
#pragma once

#include <vector>

namespace bench {

enum class Family { Fx, A };
enum class Op { Read, Write };

const char *FamilyName(Family family);  // "FX", "A"
const char *OpName(Op op);              // "read", "write"

// Frame sizes of a transfer of count bytes: 254 each, the last one the rest.
std::vector<int> FrameSizes(int count);

// Characters of one frame in both directions:
//   FX read   ENQ + ACK + 11-character request + (2n + 4)-character reply
//   FX write  ENQ + ACK + (2n + 11)-character request + ACK
//   A read    session byte + 9-byte request + (n + 5)-byte response
//   A write   session byte + (n + 9)-byte request + 5-byte response
// A ready A-series link runs no handshake; the benchmarks warm each link up so that none runs.
int FrameChars(Family family, Op op, int n);

struct WireTime {
  double charsMs = 0;   // characters at 10 bits (FX, 7E1) or 11 bits (A-series, 8O1) each
  double pausesMs = 0;  // A-series: 3 ms before and after the session byte, per frame
  int chars = 0;
  int frames = 0;
  double totalMs() const {
    return charsMs + pausesMs;
  }
};

WireTime TransferWireTime(Family family, Op op, int count);

// Characters the library receives in a transfer: each one costs the calling thread a wake-up when
// the line delivers characters one at a time.
int ReceivedChars(Family family, Op op, int count);

// Milliseconds one character takes on the line.
double CharMs(Family family);

}  // namespace bench
