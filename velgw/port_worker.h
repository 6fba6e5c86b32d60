// One thread per controller port: polls the tags that are due, joined into
// few transfers, with writes first; takes a controller that keeps failing
// off scan for a back-off and brings it back when a retry succeeds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "config.h"
#include "scan_plan.h"
#include "write_job.h"

namespace velgw {

class PortWorker {
 public:
  PortWorker(const Config &config, int controller, Cache &cache);
  ~PortWorker();
  PortWorker(const PortWorker &) = delete;
  PortWorker &operator=(const PortWorker &) = delete;

  void Start();
  // Ends after the transfer under way; writes still queued are answered
  // with Stopping. The link stays open for TakeOver() until Close() or the
  // destructor.
  void Stop();
  void Close();
  // Before Start(): goes on where a stopped worker of the same controller
  // and link left off (a reload), with its open link, state and back-off.
  void TakeOver(PortWorker &earlier);
  // The controller and link are the same: TakeOver() may take it.
  bool SameLink(const PortWorker &other) const;
  // Queues a write; any thread.
  void Submit(WriteJob job);

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // Waits until the time, a queued write or Stop(); false once stopping.
  bool WaitUntil(Clock::time_point until);
  bool Stopping();
  bool Open();
  void CloseLink();
  // One transfer; false on failure, which is recorded.
  bool Transfer(const operands::Span &span, bool write, std::uint8_t *buffer);
  bool ReadPlanned(const PlannedRead &read);
  void RunWrites();
  WriteResult RunWrite(const WriteJob &job);
  void Succeeded();
  void Failed(int status, const std::string &reason);
  void SetState(LinkState state);
  void Retry();
  std::vector<int> DueTags(Clock::time_point now, std::vector<int> *dueGroups);

  const Config &config_;
  const ControllerConfig &controller_;
  const int index_;
  Cache &cache_;
  const int frameBytes_;
  const bool legacy_;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<WriteJob> writes_;
  bool stop_ = false;

  // The worker's own state.
  int handle_ = -1;
  int failuresInRow_ = 0;
  LinkState state_ = LinkState::Starting;
  double backoff_;
  Clock::time_point retryAt_{};
  double offlineSince_ = 0;
  std::string loggedReason_;
  std::vector<Clock::time_point> nextDue_;  // per group; time_point::max() for groups without tags here
};

}  // namespace velgw
