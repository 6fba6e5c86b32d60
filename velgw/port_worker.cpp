#include "port_worker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "clock.h"
#include "environment.h"
#include "log.h"
#include "veldrv.h"

namespace velgw {

namespace {

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, s < 10 && s != std::floor(s) ? "%.1f" : "%.0f", s);
  return text;
}

std::chrono::steady_clock::duration Duration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

PortWorker::PortWorker(const Config &config, int controller, Cache &cache)
    : config_(config),
      controller_(config.controllers[static_cast<std::size_t>(controller)]),
      index_(controller),
      cache_(cache),
      frameBytes_(FrameBytes(controller_)),
      legacy_(LegacyAreas(controller_)),
      backoff_(config.gateway.backoff),
      nextDue_(config.groups.size(), Clock::time_point::max()) {
  for (const TagConfig &tag : controller_.tags) nextDue_[static_cast<std::size_t>(tag.group)] = Clock::now();
}

PortWorker::~PortWorker() {
  Stop();
  CloseLink();
}

void PortWorker::Close() {
  CloseLink();
}

bool PortWorker::SameLink(const PortWorker &other) const {
  const ControllerConfig &a = controller_, &b = other.controller_;
  return a.name == b.name && a.portNumber == b.portNumber && a.device == b.device && a.family == b.family &&
         a.legacyAreas == b.legacyAreas && a.frameBytes == b.frameBytes;
}

void PortWorker::TakeOver(PortWorker &earlier) {
  handle_ = earlier.handle_;
  earlier.handle_ = -1;
  failuresInRow_ = earlier.failuresInRow_;
  state_ = earlier.state_;
  backoff_ = earlier.backoff_;
  retryAt_ = earlier.retryAt_;
  offlineSince_ = earlier.offlineSince_;
  loggedReason_ = earlier.loggedReason_;
  ControllerCache &from = earlier.cache_.Controller(earlier.index_);
  ControllerCache &to = cache_.Controller(index_);
  std::scoped_lock lock(from.mutex, to.mutex);
  to.status = from.status;
}

void PortWorker::Start() {
  thread_ = std::thread([this] { Run(); });
}

void PortWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PortWorker::Submit(WriteJob job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_) {
      writes_.push_back(std::move(job));
      cv_.notify_all();
      return;
    }
  }
  WriteResult result;
  result.outcome = WriteResult::Outcome::Stopping;
  result.reason = "the gateway is stopping";
  job.done(result);
}

bool PortWorker::WaitUntil(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, until, [&] { return stop_ || !writes_.empty(); });
  return !stop_;
}

bool PortWorker::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void PortWorker::Run() {
  double shortest = 86400;
  for (const TagConfig &tag : controller_.tags)
    shortest = std::min(shortest, config_.groups[static_cast<std::size_t>(tag.group)].interval);
  while (!Stopping()) {
    const Clock::time_point now = Clock::now();
    if (state_ == LinkState::Offline) {
      RunWrites();  // answered at once: the controller is off scan
      if (now < retryAt_) {
        WaitUntil(retryAt_);
        continue;
      }
      Retry();
      continue;
    }
    if (handle_ < 0 && !Open()) {
      if (state_ != LinkState::Offline) WaitUntil(now + Duration(shortest));
      continue;
    }
    RunWrites();
    std::vector<int> groups;
    const std::vector<int> due = DueTags(now, &groups);
    if (due.empty()) {
      WaitUntil(*std::min_element(nextDue_.begin(), nextDue_.end()));
      continue;
    }
    for (const PlannedRead &read : PlanReads(controller_, due, frameBytes_, legacy_)) {
      RunWrites();  // writes go before polls
      if (Stopping() || state_ == LinkState::Offline || handle_ < 0) break;
      ReadPlanned(read);
    }
    for (int g : groups) {
      const auto interval = Duration(config_.groups[static_cast<std::size_t>(g)].interval);
      Clock::time_point &due = nextDue_[static_cast<std::size_t>(g)];
      while (due <= now) due += interval;
    }
  }

  // Stopping: what is queued is not sent.
  std::deque<WriteJob> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(writes_);
  }
  for (WriteJob &job : left) {
    WriteResult result;
    result.outcome = WriteResult::Outcome::Stopping;
    result.reason = "the gateway is stopping";
    job.done(result);
  }
}

std::vector<int> PortWorker::DueTags(Clock::time_point now, std::vector<int> *dueGroups) {
  for (std::size_t g = 0; g < nextDue_.size(); g++)
    if (nextDue_[g] <= now) dueGroups->push_back(static_cast<int>(g));
  std::vector<int> tags;
  for (std::size_t t = 0; t < controller_.tags.size(); t++) {
    const int g = controller_.tags[t].group;
    if (std::find(dueGroups->begin(), dueGroups->end(), g) != dueGroups->end())
      tags.push_back(static_cast<int>(t));
  }
  return tags;
}

bool PortWorker::Open() {
  std::string reason;
  const int handle = OpenLink(controller_, &reason);
  if (handle < 0) {
    Failed(handle, reason);
    return false;
  }
  handle_ = handle;
  return true;
}

void PortWorker::CloseLink() {
  if (handle_ >= 0) VelClose(handle_);
  handle_ = -1;
}

bool PortWorker::Transfer(const operands::Span &span, bool write, std::uint8_t *buffer) {
  int rc;
  if (write)
    rc = span.words ? VelWrW(handle_, span.letter, span.start, span.units, buffer)
                    : VelWrB(handle_, span.letter, span.start, span.units, buffer);
  else
    rc = span.words ? VelRdW(handle_, span.letter, span.start, span.units, buffer)
                    : VelRdB(handle_, span.letter, span.start, span.units, buffer);
  if (rc == 0) {
    Succeeded();
    return true;
  }
  char text[256] = "";
  VelReason(handle_, text, sizeof text);
  Failed(rc, text[0] ? text : VelStatusText(rc));
  return false;
}

bool PortWorker::ReadPlanned(const PlannedRead &read) {
  std::vector<std::uint8_t> buffer(read.span.bytes);
  if (!Transfer(read.span, false, buffer.data())) return false;
  const double now = Now(), wall = WallNow();
  bool notify = false;
  {
    ControllerCache &cache = cache_.Controller(index_);
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (const PlannedRead::Part &part : read.parts) {
      const TagConfig &tag = controller_.tags[static_cast<std::size_t>(part.tag)];
      TagValue &value = cache.tags[static_cast<std::size_t>(part.tag)];
      const std::uint8_t *from = buffer.data() + part.offset;
      const bool changed = !std::equal(value.bytes.begin(), value.bytes.end(), from);
      const bool wasStale = now - value.readAt > config_.groups[static_cast<std::size_t>(tag.group)].maxAge;
      if (changed) {
        std::copy(from, from + value.bytes.size(), value.bytes.begin());
        value.version++;
      }
      notify = notify || changed || !value.valid || wasStale;
      value.valid = true;
      value.readAt = now;
      value.wallAt = wall;
    }
  }
  if (notify) cache_.Changed();
  return true;
}

void PortWorker::RunWrites() {
  for (;;) {
    WriteJob job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (writes_.empty()) return;
      job = std::move(writes_.front());
      writes_.pop_front();
    }
    WriteResult result;
    if (state_ == LinkState::Offline) {
      result.outcome = WriteResult::Outcome::Offline;
      ControllerCache &cache = cache_.Controller(index_);
      std::lock_guard<std::mutex> lock(cache.mutex);
      result.status = cache.status.lastFailure;
      result.reason = "controller " + controller_.name + " is offline: " + cache.status.lastReason;
    } else if (handle_ < 0 && !Open()) {
      result.outcome = WriteResult::Outcome::Failed;
      ControllerCache &cache = cache_.Controller(index_);
      std::lock_guard<std::mutex> lock(cache.mutex);
      result.status = cache.status.status;
      result.reason = cache.status.reason;
    } else {
      result = RunWrite(job);
    }
    job.done(result);
  }
}

WriteResult PortWorker::RunWrite(const WriteJob &job) {
  WriteResult result;
  for (const WriteItem &item : job.items) {
    const TagConfig &tag = controller_.tags[static_cast<std::size_t>(item.tag)];
    const operands::Span span = ElementSpan(controller_, tag, item.first, item.count, legacy_);
    std::vector<std::uint8_t> bytes;
    bool ok;
    if (tag.type == ValueType::Bool) {
      // Bits share their bytes with others: read, change those bits, write back.
      bytes.resize(span.bytes);
      ok = Transfer(span, false, bytes.data());
      const int firstBit = (tag.bit + item.first) % 8;
      for (int i = 0; ok && i < item.count; i++) {
        const int bit = firstBit + i;
        const auto mask = static_cast<std::uint8_t>(1 << (bit % 8));
        std::uint8_t &b = bytes[static_cast<std::size_t>(bit / 8)];
        b = static_cast<std::uint8_t>(item.values[static_cast<std::size_t>(i)] ? b | mask : b & ~mask);
      }
      ok = ok && Transfer(span, true, bytes.data());
    } else {
      bytes = item.values;
      ok = Transfer(span, true, bytes.data());
    }
    if (!ok) {
      ControllerCache &cache = cache_.Controller(index_);
      std::lock_guard<std::mutex> lock(cache.mutex);
      result.outcome = WriteResult::Outcome::Failed;
      result.status = cache.status.status;
      result.reason = cache.status.reason;
      return result;
    }
    // What the controller acknowledged is its value now.
    {
      ControllerCache &cache = cache_.Controller(index_);
      std::lock_guard<std::mutex> lock(cache.mutex);
      TagValue &value = cache.tags[static_cast<std::size_t>(item.tag)];
      if (tag.type == ValueType::Bool) {
        for (int i = 0; i < item.count; i++) {
          const int bit = tag.bit + item.first + i;
          const auto mask = static_cast<std::uint8_t>(1 << (bit % 8));
          std::uint8_t &b = value.bytes[static_cast<std::size_t>(bit / 8)];
          b = static_cast<std::uint8_t>(item.values[static_cast<std::size_t>(i)] ? b | mask : b & ~mask);
        }
      } else {
        std::copy(item.values.begin(), item.values.end(),
                  value.bytes.begin() + static_cast<std::ptrdiff_t>(item.first * TypeBytes(tag.type)));
      }
      value.version++;
    }
    cache_.Changed();
  }
  return result;
}

void PortWorker::Succeeded() {
  failuresInRow_ = 0;
  {
    ControllerCache &cache = cache_.Controller(index_);
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.status.transfers++;
    cache.status.status = 0;
    cache.status.reason.clear();
  }
  if (state_ != LinkState::Online) {
    const double off = state_ == LinkState::Offline ? WallNow() - offlineSince_ : 0;
    if (state_ == LinkState::Offline)
      Log("%s: online again after %s s off scan", controller_.name.c_str(), Seconds(off).c_str());
    else
      Log("%s: online (%s, %s)", controller_.name.c_str(), PortName(controller_).c_str(),
          controller_.family == operands::Family::Fx ? "FX" : "A-series");
    SetState(LinkState::Online);
    backoff_ = config_.gateway.backoff;
    loggedReason_.clear();
  }
}

void PortWorker::Failed(int status, const std::string &reason) {
  failuresInRow_++;
  {
    ControllerCache &cache = cache_.Controller(index_);
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.status.failures++;
    cache.status.status = status;
    cache.status.reason = reason;
    cache.status.lastFailure = status;
    cache.status.lastReason = reason;
    cache.status.lastFailureAt = WallNow();
  }
  // A device that went away stays dead until its handles are closed; the
  // next attempt opens it afresh.
  if (reason.find("device lost") != std::string::npos) CloseLink();
  if (state_ != LinkState::Offline && failuresInRow_ >= config_.gateway.failures) {
    CloseLink();
    offlineSince_ = WallNow();
    retryAt_ = Clock::now() + Duration(backoff_);
    Log("%s: offline after %d failure%s in a row: %s (%d); next try in %s s", controller_.name.c_str(),
        failuresInRow_, failuresInRow_ == 1 ? "" : "s", reason.c_str(), status, Seconds(backoff_).c_str());
    loggedReason_ = reason;
    SetState(LinkState::Offline);
  }
}

void PortWorker::Retry() {
  std::vector<int> all(controller_.tags.size());
  for (std::size_t i = 0; i < all.size(); i++) all[i] = static_cast<int>(i);
  bool ok = handle_ >= 0 || Open();
  if (ok) {
    const std::vector<PlannedRead> plan = PlanReads(controller_, all, frameBytes_, legacy_);
    ok = ReadPlanned(plan.front());
  }
  if (ok) {
    // Back on scan: everything is due.
    for (Clock::time_point &due : nextDue_)
      if (due != Clock::time_point::max()) due = Clock::now();
    return;
  }
  CloseLink();
  backoff_ = std::min(2 * backoff_, config_.gateway.backoffMax);
  retryAt_ = Clock::now() + Duration(backoff_);
  std::string reason;
  int status;
  {
    ControllerCache &cache = cache_.Controller(index_);
    std::lock_guard<std::mutex> lock(cache.mutex);
    reason = cache.status.reason;
    status = cache.status.status;
  }
  if (reason != loggedReason_) {
    Log("%s: still offline: %s (%d); next try in %s s", controller_.name.c_str(), reason.c_str(), status,
        Seconds(backoff_).c_str());
    loggedReason_ = reason;
  }
}

void PortWorker::SetState(LinkState state) {
  state_ = state;
  {
    ControllerCache &cache = cache_.Controller(index_);
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.status.state = state;
    cache.status.since = WallNow();
    cache.status.version++;
  }
  cache_.Changed();
}

}  // namespace velgw
