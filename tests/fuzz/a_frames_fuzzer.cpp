// Arbitrary controller answers for the A-series transfers, through the
// fake device, with arbitrary addresses and counts, over several calls so
// that the session byte and the wake-up handshake carry from call to call:
// every call is checked against the line (see frame_call.h), and the link's
// session state against the one the line implies.
#include <fuzzer/FuzzedDataProvider.h>

#include "answer_feeder.h"
#include "api/handles.h"
#include "frame_call.h"
#include "fuzz_check.h"
#include "links/links.h"

namespace {

const FamilyOp kOps[] = {
    {"A read bytes", false, false},
    {"A write bytes", true, false},
    {"A read words", false, true},
    {"A write words", true, true},
};

ASessionModel model;

WireVerdict CheckA(WireTape &tape, bool write, int64_t address, int bytes, uint8_t *image) {
  return write ? CheckAWrite(tape, model, address, bytes, image)
               : CheckARead(tape, model, address, bytes, image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  fake::Reset();
  LibraryAttach();
  FUZZ_CHECK(LinkOpenA(0) == 0, "the A-series link does not open on the fake device");
  PlcLink &link = *LinkLookup(0);
  {
    AnswerFeeder feeder(fdp);
    feeder.SetLink(&link);
    int calls = fdp.ConsumeIntegralInRange(1, 5);
    for (int i = 0; i < calls; i++) {
      switch (fdp.ConsumeIntegralInRange(0, 7)) {
      case 0:  // another link open on the port forgets the session
        FUZZ_CHECK(LinkOpenA(0) == 0, "the A-series link does not open again");
        FUZZ_CHECK(link.status == 0 && link.sessionByte == 0, "a link open left status %d, session byte %02X",
                   link.status, link.sessionByte);
        break;
      case 1:  // a status and session byte left by earlier operations
        link.status = fdp.PickValueInArray<int16_t>({0, -1, -2, -4});
        link.sessionByte = fdp.ConsumeIntegral<uint8_t>();
        break;
      default:
        break;
      }
      model = {link.status, link.sessionByte};
      RunFamilyCall(fdp, feeder, link, kOps[fdp.ConsumeIntegralInRange(0, 3)], CheckA);
      // On a count of 0 the model is untouched, as the link must be.
      FUZZ_CHECK(link.status == model.status && link.sessionByte == model.sessionByte,
                 "link left status %d, session byte %02X; the line says %d, %02X", link.status,
                 link.sessionByte, model.status, model.sessionByte);
    }
  }
  LinkClose(0);
  LibraryDetach();
  return 0;
}
