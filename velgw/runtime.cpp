#include "runtime.h"

namespace velgw {

Runtime::Runtime(Config config) : config_(std::move(config)), cache_(config_), map_(config_) {
  for (std::size_t c = 0; c < config_.controllers.size(); c++)
    workers_.push_back(std::make_unique<PortWorker>(config_, static_cast<int>(c), cache_));
}

Runtime::~Runtime() {
  Stop();
}

void Runtime::Start() {
  for (auto &w : workers_) w->Start();
}

void Runtime::CloseLinks() {
  for (auto &w : workers_) w->Close();
}

void Runtime::TakeOver(Runtime &earlier) {
  cache_.Seed(config_, earlier.config_, earlier.cache_);
  for (auto &w : workers_)
    for (auto &e : earlier.workers_)
      if (w->SameLink(*e)) w->TakeOver(*e);
}

void Runtime::Stop() {
  // All at once: each ends after its transfer under way.
  std::vector<std::thread> stops;
  for (auto &w : workers_) stops.emplace_back([&w] { w->Stop(); });
  for (std::thread &t : stops) t.join();
}

}  // namespace velgw
