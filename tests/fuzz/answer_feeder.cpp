#include "answer_feeder.h"

#include <algorithm>

using fake::Ev;

namespace {

constexpr uint8_t kEnq = 0x05, kAck = 0x06, kStx = 0x02, kEtx = 0x03;
const char kHex[] = "0123456789ABCDEF";

void PutHex(std::vector<uint8_t> &out, unsigned v) {
  out.push_back(static_cast<uint8_t>(kHex[(v >> 4) & 15]));
  out.push_back(static_cast<uint8_t>(kHex[v & 15]));
}

int Nibble(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

AnswerFeeder::AnswerFeeder(FuzzedDataProvider &fdp) : fdp_(fdp), seen_(fake::Get().log.size()) {
  rng_ = fdp_.ConsumeIntegral<uint32_t>() ^ 0x9E3779B9u;
  dataStyle_ = fdp_.ConsumeIntegral<uint8_t>();
  fake::Get().onWrite = [this](uint8_t) { Follow(); };
}

AnswerFeeder::~AnswerFeeder() {
  fake::Get().onWrite = nullptr;
}

uint8_t AnswerFeeder::NextData() {
  switch (dataStyle_ % 8) {
  case 1:
    return 0x00;
  case 2:
    return 0xFF;
  default:
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    return static_cast<uint8_t>(rng_);
  }
}

void AnswerFeeder::FillData(uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++) p[i] = NextData();
}

// Called from the fake device after each written byte, which is already in
// the log: catch up with everything logged since the last call.
void AnswerFeeder::Follow() {
  const std::vector<fake::Event> &log = fake::Get().log;
  while (seen_ < log.size()) OnEvent(log[seen_++]);
}

void AnswerFeeder::OnEvent(const fake::Event &e) {
  switch (e.kind) {
  case Ev::Purge:
    phase_ = Phase::kFrameStart;
    request_.clear();
    break;
  case Ev::RtsOff:
    rtsDropped_ = true;
    if (phase_ == Phase::kFrameStart) phase_ = Phase::kAStart;
    break;
  case Ev::RtsOn:
    rtsDropped_ = false;
    break;
  case Ev::Write:
    OnWrite(static_cast<uint8_t>(e.value));
    break;
  default:
    break;
  }
}

void AnswerFeeder::OnWrite(uint8_t b) {
  switch (phase_) {
  case Phase::kFrameStart:
    // FX: ENQ opens the exchange and is answered with ACK.
    phase_ = b == kEnq && !rtsDropped_ ? Phase::kFxRequest : Phase::kDone;
    if (phase_ == Phase::kFxRequest) Queue({kAck}, false);
    break;
  case Phase::kFxRequest:
    request_.push_back(b);
    AnswerFxRequest();
    break;
  case Phase::kAStart: {
    bool wakeUpDue = !link_ || link_->status != 0 || link_->sessionByte == 0;
    if (rtsDropped_ && b == 0xAA && wakeUpDue) {
      phase_ = Phase::kAWakeUp;
    } else {
      phase_ = Phase::kARequest;  // that was the session prefix
      request_.clear();
    }
    break;
  }
  case Phase::kAWakeUp:
    if (!rtsDropped_ && b == 0xB0) {
      // The first byte is ignored by the library, the second is the session byte.
      uint8_t session = fdp_.ConsumeIntegral<uint8_t>() ^ 0x5A;
      Queue({NextData(), session}, false);
      phase_ = Phase::kAWoken;
    } else {
      phase_ = Phase::kDone;
    }
    break;
  case Phase::kAWoken:
    if (rtsDropped_) {
      phase_ = Phase::kARequest;
      request_.clear();
    }
    break;
  case Phase::kARequest:
    if (rtsDropped_) break;
    request_.push_back(b);
    AnswerARequest();
    break;
  case Phase::kIdle:
  case Phase::kDone:
    break;  // NAK after a bad reply, or nothing a controller answers
  }
}

// STX, command, address (4), count (2), [data (2n)], ETX, checksum (2).
void AnswerFeeder::AnswerFxRequest() {
  if (request_.size() < 8) return;
  int high = Nibble(request_[6]), low = Nibble(request_[7]);
  if (request_[0] != kStx || high < 0 || low < 0) {
    phase_ = Phase::kDone;
    return;
  }
  size_t n = static_cast<size_t>(high * 16 + low);
  bool write = request_[1] == '1';
  if (request_.size() < (write ? 11 + 2 * n : 11)) return;
  phase_ = Phase::kDone;
  if (write) {
    Queue({kAck}, false);
    return;
  }
  std::vector<uint8_t> reply{kStx};
  for (size_t i = 0; i < n; i++) PutHex(reply, NextData());
  reply.push_back(kEtx);
  uint8_t sum = 0;
  for (size_t i = 1; i < reply.size(); i++) sum = static_cast<uint8_t>(sum + reply[i]);
  PutHex(reply, sum);
  Queue(reply, true);
}

// Length (2), 0xFF, command, address (2), 0x00, n, [data], checksum.
void AnswerFeeder::AnswerARequest() {
  if (request_.size() < 2) return;
  size_t length = request_[0] + 256u * request_[1];
  if (request_.size() < length + 2) return;
  phase_ = Phase::kDone;
  if (request_.size() < 9) return;  // no request a controller would answer
  if (request_[3] == 0x04) {
    Queue({0x03, 0x00, 0xFF, 0x04, 0x06}, false);
    return;
  }
  unsigned n = request_[7];
  std::vector<uint8_t> reply{static_cast<uint8_t>(n + 3), static_cast<uint8_t>((n + 3) >> 8), 0xFF, 0x02};
  for (unsigned i = 0; i < n; i++) reply.push_back(NextData());
  uint8_t sum = 0;
  for (uint8_t b : reply) sum = static_cast<uint8_t>(sum + b);
  reply.push_back(sum);
  Queue(reply, false);
}

void AnswerFeeder::Queue(std::vector<uint8_t> good, bool hexText) {
  std::vector<uint8_t> answer = Mutate(std::move(good), hexText);
  fake::Get().input.insert(fake::Get().input.end(), answer.begin(), answer.end());
}

// Most answers stay correct; the rest are cut short, changed, extended or
// replaced by raw fuzz bytes.
std::vector<uint8_t> AnswerFeeder::Mutate(std::vector<uint8_t> good, bool hexText) {
  if (fdp_.remaining_bytes() == 0) return good;
  uint8_t mode = fdp_.ConsumeIntegral<uint8_t>();
  if (mode < 0xA0) return good;
  size_t len = good.size();
  auto at = [&] { return fdp_.ConsumeIntegralInRange<size_t>(0, len - 1); };
  switch (mode % 10) {
  case 0:  // cut short
    good.resize(at());
    break;
  case 1:  // one byte replaced
    good[at()] = fdp_.ConsumeIntegral<uint8_t>();
    break;
  case 2:  // FX: lowercase hex letters; A-series: one bit flipped
    if (hexText)
      for (uint8_t &c : good) c = c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c + 0x20) : c;
    else
      good[at()] ^= static_cast<uint8_t>(1u << fdp_.ConsumeIntegralInRange(0, 7));
    break;
  case 3: {  // extra bytes after the answer
    std::vector<uint8_t> extra = fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(1, 8));
    good.insert(good.end(), extra.begin(), extra.end());
    break;
  }
  case 4:  // raw fuzz bytes instead
    good = fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(0, len + 4));
    break;
  case 5:  // silence
    good.clear();
    break;
  case 6:  // another checksum, still well formed
    if (hexText && len >= 2 && Nibble(good[len - 1]) >= 0)
      good[len - 1] =
          static_cast<uint8_t>(kHex[(Nibble(good[len - 1]) + fdp_.ConsumeIntegralInRange(1, 15)) % 16]);
    else
      good[len - 1] = static_cast<uint8_t>(good[len - 1] + fdp_.ConsumeIntegralInRange(1, 255));
    break;
  case 7:  // a byte inserted
    good.insert(good.begin() + static_cast<std::ptrdiff_t>(fdp_.ConsumeIntegralInRange<size_t>(0, len)),
                fdp_.ConsumeIntegral<uint8_t>());
    break;
  case 8:  // a byte dropped
    good.erase(good.begin() + static_cast<std::ptrdiff_t>(at()));
    break;
  case 9: {  // answered twice
    std::vector<uint8_t> copy = good;
    good.insert(good.end(), copy.begin(), copy.end());
    break;
  }
  }
  return good;
}
