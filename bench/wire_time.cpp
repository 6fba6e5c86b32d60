#include "wire_time.h"

namespace bench {

namespace {

constexpr double kBaud = 9600;
constexpr int kFrameMax = 254;
constexpr double kAPauseMs = 3;

}  // namespace

const char *FamilyName(Family family) {
  return family == Family::Fx ? "FX" : "A";
}

const char *OpName(Op op) {
  return op == Op::Read ? "read" : "write";
}

std::vector<int> FrameSizes(int count) {
  std::vector<int> sizes;
  for (int left = count; left > 0; left -= kFrameMax) sizes.push_back(left < kFrameMax ? left : kFrameMax);
  return sizes;
}

int FrameChars(Family family, Op op, int n) {
  if (family == Family::Fx) return op == Op::Read ? 1 + 1 + 11 + (2 * n + 4) : 1 + 1 + (2 * n + 11) + 1;
  return op == Op::Read ? 1 + 9 + (n + 5) : 1 + (n + 9) + 5;
}

int ReceivedChars(Family family, Op op, int count) {
  int chars = 0;
  for (int n : FrameSizes(count)) {
    if (family == Family::Fx)
      chars += op == Op::Read ? 1 + 2 * n + 4 : 2;
    else
      chars += op == Op::Read ? n + 5 : 5;
  }
  return chars;
}

double CharMs(Family family) {
  return (family == Family::Fx ? 10 : 11) * 1000.0 / kBaud;
}

WireTime TransferWireTime(Family family, Op op, int count) {
  WireTime w;
  for (int n : FrameSizes(count)) {
    w.chars += FrameChars(family, op, n);
    w.frames++;
  }
  w.charsMs = w.chars * CharMs(family);
  if (family == Family::A) w.pausesMs = w.frames * 2 * kAPauseMs;
  return w;
}

}  // namespace bench
