// The last value read of every tag, with its time, and the state of every
// controller: what the Modbus server answers from and the MQTT client
// publishes. The port workers write it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"

namespace velgw {

enum class LinkState { Starting, Online, Offline };
const char *LinkStateName(LinkState state);  // "starting", "online", "offline"

enum class Quality { None, Good, Stale, Offline };  // None: never read
const char *QualityName(Quality quality);           // "good", "stale", "offline"

struct TagValue {
  std::vector<std::uint8_t> bytes;  // the tag's span of controller memory
  bool valid = false;
  double readAt = 0;          // Now() of the read
  double wallAt = 0;          // WallNow() of the read
  std::uint64_t version = 0;  // counts changes of the bytes
};

struct ControllerStatus {
  LinkState state = LinkState::Starting;
  double since = 0;  // WallNow() of the last change of state
  int status = 0;    // of the last transfer or open: 0 or the library's code
  std::string reason;
  int lastFailure = 0;  // the last failure's code and reason, kept after successes
  std::string lastReason;
  double lastFailureAt = 0;  // WallNow()
  std::uint64_t transfers = 0, failures = 0;
  std::uint64_t version = 0;  // counts changes of state
};

struct ControllerCache {
  mutable std::mutex mutex;
  ControllerStatus status;
  std::vector<TagValue> tags;
};

class Cache {
 public:
  explicit Cache(const Config &config);

  ControllerCache &Controller(int c) {
    return *controllers_[static_cast<std::size_t>(c)];
  }
  int Controllers() const {
    return static_cast<int>(controllers_.size());
  }

  // The quality of a tag, with the controller's lock held.
  static Quality QualityOf(const ControllerCache &cache, int tag, double maxAge, double now);

  // Wakes whoever waits for a change (the MQTT publisher).
  void Changed();
  // Waits for a change after `seen` (updated) or until the time (seconds of Now()).
  void WaitChange(std::uint64_t *seen, double until);

  // Takes the values of the tags that stayed the same (controller name,
  // port, family and the tag's name, address, type and count) from an
  // earlier configuration's cache.
  void Seed(const Config &config, const Config &earlierConfig, Cache &earlier);

 private:
  std::vector<std::unique_ptr<ControllerCache>> controllers_;
  std::mutex changeMutex_;
  std::condition_variable changeCv_;
  std::uint64_t changes_ = 0;
};

}  // namespace velgw
