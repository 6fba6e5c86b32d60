#include "frame_call.h"

#include <algorithm>
#include <vector>

#include "fuzz_check.h"
#include "guarded_buffer.h"
#include "links/links.h"
#include "transfer_shape.h"

void RunFamilyCall(FuzzedDataProvider &fdp, AnswerFeeder &feeder, PlcLink &link, const FamilyOp &op,
                   WireCheck check) {
  TransferShape shape = PickShape(fdp, op.words);
  GuardedBuffer buffer(static_cast<size_t>(shape.bytes), fdp.ConsumeIntegralInRange<size_t>(0, 16));
  if (op.write) feeder.FillData(buffer.data(), buffer.usable());
  std::vector<uint8_t> before(buffer.data(), buffer.data() + shape.bytes);

  size_t logStart = fake::Get().log.size();
  int16_t statusBefore = link.status;
  uint8_t sessionBefore = link.sessionByte;
  buffer.Poison();
  const Request request = {op.write ? Direction::kWrite : Direction::kRead,
                           op.words,
                           nullptr,
                           FxAreas::kController,
                           shape.address,
                           shape.count,
                           buffer.data()};
  int result = LinkTransfer(link.port, request);
  buffer.CheckOutsideUntouched(op.name);

  if (shape.bytes == 0) {
    FUZZ_CHECK(result == statusBefore, "%s count %d: a count of 0 returned %d, not the status %d", op.name,
               shape.count, result, statusBefore);
    FUZZ_CHECK(link.status == statusBefore, "%s count %d: status %d became %d", op.name, shape.count,
               statusBefore, link.status);
    FUZZ_CHECK(link.sessionByte == sessionBefore, "%s count %d: session byte changed", op.name, shape.count);
    FUZZ_CHECK(fake::Get().log.size() == logStart, "%s count %d: a count of 0 touched the line", op.name,
               shape.count);
    FUZZ_CHECK(std::equal(before.begin(), before.end(), buffer.data()), "%s: count 0 changed the buffer",
               op.name);
    return;
  }

  WireTape tape(logStart);
  std::vector<uint8_t> image = before;
  WireVerdict verdict = check(tape, op.write, shape.address, shape.bytes, image.data());
  tape.ExpectEnd(op.name);
  FUZZ_CHECK(result == (verdict.ok ? 0 : verdict.status),
             "%s address %lld count %d (%d bytes): returned %d, the line says %s", op.name,
             static_cast<long long>(shape.address), shape.count, shape.bytes, result,
             verdict.ok ? "success" : "failure");
  FUZZ_CHECK(link.status == verdict.status, "%s: status %d, the line says %d", op.name, link.status,
             verdict.status);
  FUZZ_CHECK(result == 0 || link.status == -1 || link.status == -6 || link.status == -3,
             "%s: failed with status %d", op.name, link.status);
  for (size_t i = 0; i < image.size(); i++)
    FUZZ_CHECK(buffer.data()[i] == image[i], "%s (%d bytes): buffer byte %zu is %02X, must be %02X%s",
               op.name, shape.bytes, i, buffer.data()[i], image[i], op.write ? " (source of a write)" : "");
}
