// The six exports with arbitrary handles, ports, letters, starts, counts and
// null buffers, on the fake device with fuzzed controller answers. Nothing
// may crash, every result must be one the interface documents for that
// function, and no byte outside the part of the buffer a call moves may
// change (none at all for a write's source).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "answer_feeder.h"
#include "api/handles.h"
#include "fuzz_check.h"
#include "guarded_buffer.h"
#include "links/links.h"
#include "veldrv.h"

namespace {

bool OneOf(int value, std::initializer_list<int> codes) {
  for (int c : codes)
    if (value == c) return true;
  return false;
}

int PickHandle(FuzzedDataProvider &fdp) {
  if (fdp.ConsumeIntegralInRange(0, 9) == 0) return fdp.ConsumeIntegral<int>();
  return fdp.ConsumeIntegralInRange(-1, 33);
}

int PickLetter(FuzzedDataProvider &fdp) {
  static const char kLetters[] = "DdEeIiXxAaOoYyMmSsBZ";
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
  case 0:
    return fdp.ConsumeIntegral<int>();
  case 1:
    return fdp.PickValueInArray<int>({0, -1, 0x144, 0x153, 0xC4, -0xBC});  // 'D' and 'S' + 256, ...
  default:
    return kLetters[fdp.ConsumeIntegralInRange<size_t>(0, sizeof kLetters - 2)];
  }
}

int PickCount(FuzzedDataProvider &fdp) {
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
  case 0:
    return fdp.ConsumeIntegral<int>();
  case 1:
    return fdp.PickValueInArray<int>({-1, 32767, 32768, 65535, 65536, 65790, -65536});
  default:
    return fdp.ConsumeIntegralInRange(0, 600);
  }
}

int PickStart(FuzzedDataProvider &fdp) {
  return fdp.ConsumeBool() ? fdp.ConsumeIntegral<int>() : fdp.ConsumeIntegralInRange(-2, 0x10000);
}

void Transfer(FuzzedDataProvider &fdp, AnswerFeeder &feeder, int which) {
  int handle = PickHandle(fdp);
  int letter = PickLetter(fdp);
  int start = PickStart(fdp);
  int count = PickCount(fdp);
  bool write = which >= 2;
  bool words = which % 2 == 1;
  // The bytes a call may move: only a count the interface accepts moves any.
  size_t moved = 0;
  if (count > 0 && count <= (words ? 0x7FFF : 0xFFFF)) moved = static_cast<size_t>(count) * (words ? 2 : 1);
  bool null = fdp.ConsumeIntegralInRange(0, 7) == 0;
  GuardedBuffer buffer(moved, fdp.ConsumeIntegralInRange<size_t>(0, 16));
  if (write) feeder.FillData(buffer.data(), moved);
  std::vector<uint8_t> before(buffer.data(), buffer.data() + moved);

  const PlcLink *link = nullptr;
  if (handle >= 0 && handle < kHandleCount && Slot(handle).inUse) link = LinkLookup(Slot(handle).port);
  feeder.SetLink(link);
  using Export = int (*)(int, int, int, int, void *);
  const Export kExports[] = {VelRdB, VelRdW, VelWrB, VelWrW};
  const char *kNames[] = {"VelRdB", "VelRdW", "VelWrB", "VelWrW"};
  buffer.Poison();
  int result = kExports[which](handle, letter, start, count, null ? nullptr : buffer.data());
  buffer.CheckOutsideUntouched(kNames[which]);

  FUZZ_CHECK(OneOf(result, {0, -1, -3, -4, -5, -6, -10, -99}), "%s(%d, %d, %d, %d, %s) returned %d",
             kNames[which], handle, letter, start, count, null ? "NULL" : "buffer", result);
  if (null && count != 0)
    FUZZ_CHECK(result != 0, "%s with a null buffer and count %d succeeded", kNames[which], count);
  if (write)
    FUZZ_CHECK(std::equal(before.begin(), before.end(), buffer.data()), "%s changed its source buffer",
               kNames[which]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  fake::Reset();
  // Some ports have no device behind them.
  uint16_t missing = fdp.ConsumeIntegral<uint16_t>();
  for (int p = 0; p < 16; p++)
    if (missing & (1u << p) && p % 4 == 3) fake::Get().missing.insert("COM" + std::to_string(p + 1));
  LibraryAttach();
  {
    AnswerFeeder feeder(fdp);
    int calls = fdp.ConsumeIntegralInRange(1, 16);
    for (int i = 0; i < calls; i++) {
      int which = fdp.ConsumeIntegralInRange(0, 5);
      if (which == 0) {
        int port = fdp.ConsumeIntegralInRange(0, 9) == 0 ? fdp.ConsumeIntegral<int>()
                                                         : fdp.ConsumeIntegralInRange(-1, 17);
        int fx = fdp.PickValueInArray<int>({0, 1, 1, 0, -1, 2});
        int result = VelOpen(port, fx);
        FUZZ_CHECK((result >= 0 && result < 32) || result == -2 || result == -4,
                   "VelOpen(%d, %d) returned %d", port, fx, result);
      } else if (which == 1) {
        int handle = PickHandle(fdp);
        int result = VelClose(handle);
        FUZZ_CHECK(OneOf(result, {0, -99}), "VelClose(%d) returned %d", handle, result);
      } else {
        Transfer(fdp, feeder, which - 2);
      }
    }
  }
  LibraryDetach();
  return 0;
}
