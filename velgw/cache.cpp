#include "cache.h"

#include <chrono>

#include "clock.h"

namespace velgw {

const char *LinkStateName(LinkState state) {
  switch (state) {
  case LinkState::Starting:
    return "starting";
  case LinkState::Online:
    return "online";
  case LinkState::Offline:
    return "offline";
  }
  return "?";
}

const char *QualityName(Quality quality) {
  switch (quality) {
  case Quality::Good:
    return "good";
  case Quality::Stale:
    return "stale";
  case Quality::Offline:
    return "offline";
  case Quality::None:
    break;
  }
  return "none";
}

Cache::Cache(const Config &config) {
  for (const ControllerConfig &c : config.controllers) {
    auto cache = std::make_unique<ControllerCache>();
    cache->status.since = WallNow();
    cache->tags.resize(c.tags.size());
    for (std::size_t t = 0; t < c.tags.size(); t++) cache->tags[t].bytes.assign(c.tags[t].span.bytes, 0);
    controllers_.push_back(std::move(cache));
  }
}

Quality Cache::QualityOf(const ControllerCache &cache, int tag, double maxAge, double now) {
  if (cache.status.state == LinkState::Offline) return Quality::Offline;
  const TagValue &v = cache.tags[static_cast<std::size_t>(tag)];
  if (!v.valid) return Quality::None;
  return now - v.readAt > maxAge ? Quality::Stale : Quality::Good;
}

void Cache::Changed() {
  {
    std::lock_guard<std::mutex> lock(changeMutex_);
    changes_++;
  }
  changeCv_.notify_all();
}

void Cache::WaitChange(std::uint64_t *seen, double until) {
  std::unique_lock<std::mutex> lock(changeMutex_);
  const auto deadline = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(until)));
  changeCv_.wait_until(lock, deadline, [&] { return changes_ != *seen; });
  *seen = changes_;
}

void Cache::Seed(const Config &config, const Config &earlierConfig, Cache &earlier) {
  for (std::size_t c = 0; c < config.controllers.size(); c++) {
    const ControllerConfig &now = config.controllers[c];
    for (std::size_t e = 0; e < earlierConfig.controllers.size(); e++) {
      const ControllerConfig &then = earlierConfig.controllers[e];
      if (then.name != now.name || then.port != now.port || then.family != now.family) continue;
      ControllerCache &from = earlier.Controller(static_cast<int>(e));
      ControllerCache &to = Controller(static_cast<int>(c));
      std::scoped_lock lock(from.mutex, to.mutex);
      for (std::size_t t = 0; t < now.tags.size(); t++) {
        for (std::size_t u = 0; u < then.tags.size(); u++) {
          const TagConfig &a = now.tags[t], &b = then.tags[u];
          if (a.name == b.name && a.address == b.address && a.type == b.type && a.count == b.count &&
              from.tags[u].valid && from.status.state != LinkState::Offline)
            to.tags[t] = from.tags[u];
        }
      }
    }
  }
}

}  // namespace velgw
