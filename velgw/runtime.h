// One configuration at work: its cache, its Modbus map and a worker per
// controller port. A reload builds a new one and stops the old.
#pragma once

#include <memory>
#include <vector>

#include "cache.h"
#include "config.h"
#include "modbus_map.h"
#include "port_worker.h"

namespace velgw {

class Runtime {
 public:
  explicit Runtime(Config config);
  ~Runtime();
  Runtime(const Runtime &) = delete;
  Runtime &operator=(const Runtime &) = delete;

  void Start();
  // Stops the workers after their transfers under way (idempotent); their
  // links stay open for TakeOver() until CloseLinks().
  void Stop();
  void CloseLinks();
  // Before Start(): takes over from a stopped runtime (a reload) the links,
  // states and values of the controllers that stayed the same.
  void TakeOver(Runtime &earlier);

  const Config &config() const {
    return config_;
  }
  Cache &cache() {
    return cache_;
  }
  const ModbusMap &map() const {
    return map_;
  }
  PortWorker &Worker(int controller) {
    return *workers_[static_cast<std::size_t>(controller)];
  }

 private:
  const Config config_;
  Cache cache_;
  ModbusMap map_;
  std::vector<std::unique_ptr<PortWorker>> workers_;
};

}  // namespace velgw
