// Arbitrary controller answers for the FX transfers, through the fake
// device, with arbitrary addresses and counts: every call is checked against
// the line (see frame_call.h).
#include <fuzzer/FuzzedDataProvider.h>

#include "answer_feeder.h"
#include "api/handles.h"
#include "frame_call.h"
#include "fuzz_check.h"
#include "links/links.h"

namespace {

const FamilyOp kOps[] = {
    {"Fx read bytes", false, false},
    {"Fx write bytes", true, false},
    {"Fx read words", false, true},
    {"Fx write words", true, true},
};

WireVerdict CheckFx(WireTape &tape, bool write, int64_t address, int bytes, uint8_t *image) {
  return write ? CheckFxWrite(tape, address, bytes, image) : CheckFxRead(tape, address, bytes, image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  fake::Reset();
  LibraryAttach();
  FUZZ_CHECK(LinkOpenFx(0) == 0, "the FX link does not open on the fake device");
  PlcLink &link = *LinkLookup(0);
  {
    AnswerFeeder feeder(fdp);
    feeder.SetLink(&link);
    int calls = fdp.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < calls; i++) {
      // Whatever status an earlier operation on the port may have left.
      if (fdp.ConsumeIntegralInRange(0, 7) == 0)
        link.status = fdp.PickValueInArray<int16_t>({0, -1, -6, -3, -4});
      RunFamilyCall(fdp, feeder, link, kOps[fdp.ConsumeIntegralInRange(0, 3)], CheckFx);
    }
  }
  LinkClose(0);
  LibraryDetach();
  return 0;
}
