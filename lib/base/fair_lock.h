// A lock that serves its waiters first come, first served, for the handle,
// port table and port locks: a thread that calls in a loop never takes a lock
// again ahead of a thread that was already waiting for it.
//
// A ticket lock on two atomic counters: no mutex, no condition variable and
// no destructor, so a thread still waiting at process exit does not hang the
// exit, a forked child can simply start it afresh, and try_lock never waits.
#pragma once
#include <atomic>
#include <cstdint>

#include "wait.h"

class FairLock {
 public:
  void lock() {
    uint32_t ticket = next_.fetch_add(1, std::memory_order_relaxed);
    for (uint32_t serving = serving_.load(std::memory_order_acquire); serving != ticket;
         serving = serving_.load(std::memory_order_acquire))
      WaitWhile(serving_, serving);
  }

  void unlock() {
    serving_.fetch_add(1, std::memory_order_release);
    WakeAll(serving_);
  }

  // Takes the lock only when nobody holds it and nobody waits for it.
  bool try_lock() {
    uint32_t serving = serving_.load(std::memory_order_acquire);
    uint32_t expected = serving;
    return next_.compare_exchange_strong(expected, serving + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }

  // In a forked child: the threads that held or awaited the lock are not
  // there; the child starts with the lock free.
  void Reset() {
    next_.store(0, std::memory_order_relaxed);
    serving_.store(0, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> next_{0};     // the ticket the next caller draws
  std::atomic<uint32_t> serving_{0};  // the ticket whose holder may go
};
