// The controller's side of the line for the fuzzers. The feeder follows what
// the library does on the fake device and, whenever the library has finished
// sending something a controller answers (ENQ, a request frame, the wake-up
// request), queues the next answer: the correct one, a mutated one or raw
// fuzz bytes, as the fuzz input decides. An exhausted input answers
// correctly, so short inputs already reach deep into long transfers. The
// family of a frame shows on the line: FX frames open with ENQ, A-series
// frames with RTS dropped.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_device.h"
#include "links/plc_link.h"

class AnswerFeeder {
 public:
  explicit AnswerFeeder(FuzzedDataProvider &fdp);
  ~AnswerFeeder();  // unhooks from the fake device
  AnswerFeeder(const AnswerFeeder &) = delete;
  AnswerFeeder &operator=(const AnswerFeeder &) = delete;

  // The link of the transfer that runs next (nullptr: unknown). A session
  // byte 0xAA looks like the start of a wake-up request on the line; the
  // link's state tells which of the two it is.
  void SetLink(const PlcLink *link) {
    link_ = link;
  }
  // Pseudo-random bytes, e.g. the source of a write.
  void FillData(uint8_t *p, size_t n);

 private:
  enum class Phase { kIdle, kFrameStart, kFxRequest, kAStart, kAWakeUp, kAWoken, kARequest, kDone };

  void Follow();
  void OnEvent(const fake::Event &e);
  void OnWrite(uint8_t b);
  void AnswerFxRequest();
  void AnswerARequest();
  void Queue(std::vector<uint8_t> good, bool hexText);
  std::vector<uint8_t> Mutate(std::vector<uint8_t> good, bool hexText);
  uint8_t NextData();

  FuzzedDataProvider &fdp_;
  const PlcLink *link_ = nullptr;
  size_t seen_;  // log events already followed
  uint32_t rng_;
  uint8_t dataStyle_;
  Phase phase_ = Phase::kIdle;
  bool rtsDropped_ = false;
  std::vector<uint8_t> request_;
};
