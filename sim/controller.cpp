#include "controller.h"

#include <cstdio>

namespace velsim {

std::string hexList(const std::vector<std::uint8_t> &bytes, std::size_t limit) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  if (bytes.size() > limit) out += " ...";
  return out;
}

std::string summarize(const std::vector<std::uint8_t> &answer) {
  if (answer.empty()) return "none";
  if (answer.size() == 1 && answer[0] == 0x06) return "ACK";
  if (answer.size() == 1 && answer[0] == 0x15) return "NAK";
  return hexList(answer);
}

std::vector<std::uint8_t> Controller::feed(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  for (std::uint8_t b : bytes) {
    auto part = feed(b);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

std::vector<std::uint8_t> Controller::read(std::uint16_t address, std::size_t n) const {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = memory_[static_cast<std::uint16_t>(address + i)];
  return out;
}

void Controller::write(std::uint16_t address, std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) memory_[static_cast<std::uint16_t>(address + i)] = bytes[i];
}

void Controller::fill(std::uint16_t address, std::size_t n, std::uint8_t value) {
  for (std::size_t i = 0; i < n; ++i) memory_[static_cast<std::uint16_t>(address + i)] = value;
}

void Controller::setModel(const Model *model) {
  model_ = model;
  if (!model) return;
  const std::uint8_t codes[] = {
      static_cast<std::uint8_t>(model->d8001), static_cast<std::uint8_t>(model->d8001 >> 8),
      static_cast<std::uint8_t>(model->d8002), static_cast<std::uint8_t>(model->d8002 >> 8)};
  write(kD8001, codes);
  memory_[kM8000Byte] |= 0x01;
  clock_ = std::chrono::steady_clock::now();
}

void Controller::runClock() {
  if (!model_) return;
  constexpr auto kStep = std::chrono::milliseconds(100);
  const auto now = std::chrono::steady_clock::now();
  const auto steps = (now - clock_) / kStep;
  if (steps <= 0) return;
  clock_ += steps * kStep;
  const auto t0 = static_cast<std::uint16_t>(memory_[kT0Value] | memory_[kT0Value + 1] << 8);
  const auto next = static_cast<std::uint16_t>((t0 + static_cast<std::uint64_t>(steps)) % 32768);
  memory_[kT0Value] = static_cast<std::uint8_t>(next);
  memory_[kT0Value + 1] = static_cast<std::uint8_t>(next >> 8);
}

void Controller::setFault(const Fault &fault, FaultWhen when, std::uint64_t frame) {
  faults_.clear();
  addFault(fault, when, frame);
}

void Controller::addFault(const Fault &fault, FaultWhen when, std::uint64_t frame) {
  // "Once" is the exchange after the ones started so far.
  if (when == FaultWhen::Once) frame = frames_ + 1;
  faults_.push_back({fault, when, frame});
}

void Controller::beginExchange() {
  ++frames_;
  inExchange_ = true;
  current_.clear();
  for (const ScheduledFault &sf : faults_) {
    if (sf.when == FaultWhen::Always || sf.frame == frames_) current_.push_back(sf.fault);
  }
}

bool Controller::active(FaultKind kind) const {
  for (const Fault &f : current_) {
    if (f.kind == kind) return true;
  }
  return false;
}

std::vector<std::uint8_t> Controller::shape(std::vector<std::uint8_t> answer, bool handshake) const {
  const FaultKind replace = handshake ? FaultKind::HandshakeReplace : FaultKind::Replace;
  const FaultKind truncate = handshake ? FaultKind::HandshakeTruncate : FaultKind::Truncate;
  for (const Fault &f : current_) {
    if (f.kind == replace && f.index < answer.size()) answer[f.index] = f.value;
  }
  for (const Fault &f : current_) {
    if (f.kind == truncate && f.index < answer.size()) answer.resize(f.index);
  }
  if (active(FaultKind::Silent)) answer.clear();
  return answer;
}

std::vector<std::uint8_t> Controller::noise(std::vector<std::uint8_t> answer, bool handshake) {
  auto hits = [&](const Fault &f, FaultKind kind) { return f.kind == kind && f.handshake == handshake; };
  for (const Fault &f : current_) {
    if (hits(f, FaultKind::DropByte) && f.index < answer.size()) answer.erase(answer.begin() + f.index);
  }
  for (const Fault &f : current_) {
    if (hits(f, FaultKind::DuplicateByte) && f.index < answer.size())
      answer.insert(answer.begin() + f.index, answer[f.index]);
  }
  for (const Fault &f : current_) {
    if (hits(f, FaultKind::GarbageBefore)) answer.insert(answer.begin(), f.bytes.begin(), f.bytes.end());
    if (hits(f, FaultKind::GarbageAfter)) answer.insert(answer.end(), f.bytes.begin(), f.bytes.end());
  }
  hold_.reset();
  for (const Fault &f : current_) {
    if (hits(f, FaultKind::DelayByte) && f.index < answer.size())
      hold_ = Hold{f.index, std::chrono::milliseconds(f.ms)};
  }
  return answer;
}

void Controller::record(TraceEntry entry, const std::string &what) {
  entry.family = family_;
  entry.frame = inExchange_ ? frames_ : 0;
  for (const Fault &f : current_) {
    if (!entry.faults.empty()) entry.faults += ",";
    entry.faults += f.name();
  }
  if (!inExchange_) entry.faults.clear();
  char fam[4];
  std::snprintf(fam, sizeof fam, "%-2s", familyName(family_));
  entry.text = std::string(fam) + " " + what + " -> " + entry.summary;
  if (!entry.faults.empty()) entry.text += "  [fault " + entry.faults + "]";
  if (traceHook_) traceHook_(entry);
  if (keepTrace_) trace_.push_back(std::move(entry));
}

void Controller::note(const std::string &text) {
  TraceEntry entry;
  entry.family = family_;
  entry.kind = TraceKind::Server;
  entry.text = text;
  if (traceHook_) traceHook_(entry);
  if (keepTrace_) trace_.push_back(std::move(entry));
}

void Controller::protocolError(const std::string &reason, std::vector<std::uint8_t> answer) {
  ++protocolErrors_;
  TraceEntry e;
  e.kind = TraceKind::Error;
  e.error = reason;
  e.summary = summarize(answer);
  e.answer = std::move(answer);
  record(std::move(e), "error: " + reason);
}

std::vector<std::uint8_t> Controller::finishRequest(std::vector<std::uint8_t> answer, TraceEntry entry,
                                                    const std::string &what) {
  if (active(FaultKind::SilentAfterHandshake)) answer.clear();
  if (answer.empty()) entry.summary = "none";
  answer = noise(std::move(answer), false);
  entry.answer = answer;
  record(std::move(entry), what);
  inExchange_ = false;
  return answer;
}

}  // namespace velsim
