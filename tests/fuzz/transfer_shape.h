// Address and count of one fuzzed transfer. Counts stay small enough for fast
// runs (up to 1200 bytes), with exact and near multiples of the 254-byte
// frame, and sometimes carry extra multiples of 65536 (bytes) or 32768
// (words) that the 16-bit count drops.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

struct TransferShape {
  int64_t address;
  int count;  // as passed: bytes, or 16-bit words
  int bytes;  // the bytes the call moves
};

inline TransferShape PickShape(FuzzedDataProvider &fdp, bool words) {
  TransferShape shape{};
  int bytes;
  switch (fdp.ConsumeIntegralInRange(0, 3)) {
  case 0:  // around a multiple of the frame size
    bytes = 254 * fdp.ConsumeIntegralInRange(0, 4) + fdp.ConsumeIntegralInRange(-2, 2);
    break;
  case 1:
    bytes = fdp.ConsumeIntegralInRange(0, 16);
    break;
  default:
    bytes = fdp.ConsumeIntegralInRange(0, 1200);
    break;
  }
  if (bytes < 0) bytes = 0;
  int wraps = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange(-2, 2) : 0;
  if (words) {
    shape.count = bytes / 2 + 32768 * wraps;
    shape.bytes = static_cast<uint16_t>(2u * static_cast<uint32_t>(shape.count));
  } else {
    shape.count = bytes + 65536 * wraps;
    shape.bytes = static_cast<uint16_t>(shape.count);
  }
  switch (fdp.ConsumeIntegralInRange(0, 2)) {
  case 0:  // near the end of the 16-bit address space, where frames wrap to 0
    shape.address = 0xFFFF - fdp.ConsumeIntegralInRange<int64_t>(0, 1300) +
                    0x10000 * fdp.ConsumeIntegralInRange<int64_t>(-2, 2);
    break;
  case 1:
    shape.address = fdp.ConsumeIntegralInRange<int64_t>(0, 0xFFFF);
    break;
  default:  // anything an operand number can make of a base address
    shape.address = fdp.ConsumeIntegralInRange<int64_t>(-(int64_t{1} << 33), int64_t{1} << 33);
    break;
  }
  return shape;
}
