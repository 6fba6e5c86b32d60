// Stress: 16 threads on four simulated controllers (two FX, two A-series)
// open, close, read and write at random through up to 32 handles for a
// bounded time. Every thread owns an address range of its port and keeps a
// copy of what it wrote there, so a lost or misplaced write shows up on the
// next read; the simulators count every frame that arrives malformed
// (interleaved). A watchdog aborts the run when a thread makes no progress
// for 10 s (a deadlock). Run time: VELDRV_STRESS_SECONDS (default 8).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using namespace std::chrono_literals;
using velsim::Family;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPorts = 4;
constexpr int kThreads = 16;          // four per port
constexpr int kHandlesPerThread = 2;  // 32 handles in all: the whole table
constexpr int kRange = 1024;          // bytes owned by each thread
constexpr uint16_t kRangeBase = 0x1000;
constexpr auto kStallLimit = 10s;

int StressSeconds() {
  const char *s = std::getenv("VELDRV_STRESS_SECONDS");
  int v = s ? std::atoi(s) : 0;
  return v > 0 ? v : 8;
}

struct Counts {
  std::atomic<uint64_t> opens{0}, closes{0}, reads{0}, writes{0}, bytes{0}, failures{0}, mismatches{0};
};

struct Worker {
  int index = 0;
  int port = 0;
  bool fx = false;
  uint16_t base = 0;
  std::vector<int> handles;
  Bytes shadow = Bytes(kRange, 0);       // what this thread's range holds
  std::atomic<int64_t> lastProgress{0};  // steady clock ticks
  std::atomic<const char *> doing{"start"};
};

void Progress(Worker &w) {
  w.lastProgress = Clock::now().time_since_epoch().count();
}

void Fail(Counts &c, std::mutex &m, const std::string &what) {
  c.failures++;
  std::lock_guard lock(m);
  ADD_FAILURE() << what;
}

void Work(Worker &w, Counts &c, std::mutex &m, Clock::time_point end) {
  std::mt19937 rng(1000u + static_cast<unsigned>(w.index));
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto tag = [&](const char *op, int status) {
    return "thread " + std::to_string(w.index) + " port " + std::to_string(w.port) + ": " + op +
           " returned " + std::to_string(status);
  };
  while (Clock::now() < end) {
    Progress(w);
    const int action = uniform(0, 99);
    if (w.handles.empty() || (action < 8 && static_cast<int>(w.handles.size()) < kHandlesPerThread)) {
      w.doing = "VelOpen";
      int h = VelOpen(w.port, w.fx);
      if (h < 0) {
        Fail(c, m, tag("VelOpen", h));
        continue;
      }
      w.handles.push_back(h);
      c.opens++;
      continue;
    }
    if (action < 13) {
      const size_t i = static_cast<size_t>(uniform(0, static_cast<int>(w.handles.size()) - 1));
      w.doing = "VelClose";
      int status = VelClose(w.handles[i]);
      if (status != VEL_OK) Fail(c, m, tag("VelClose", status));
      w.handles.erase(w.handles.begin() + static_cast<long>(i));
      c.closes++;
      continue;
    }
    const int h = w.handles[static_cast<size_t>(uniform(0, static_cast<int>(w.handles.size()) - 1))];
    const bool words = uniform(0, 1) == 1;
    int count = uniform(1, 600);  // bytes: up to three frames
    if (words) count = (count + 1) & ~1;
    const int offset = uniform(0, kRange - count) & (words ? ~1 : ~0);
    const int address = w.base + offset;
    if (action < 55) {
      Bytes data(static_cast<size_t>(count));
      for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
      w.doing = "write";
      int status = words ? VelWrW(h, 'S', address, count / 2, data.data())
                         : VelWrB(h, 'S', address, count, data.data());
      c.writes++;
      if (status != VEL_OK) {
        Fail(c, m, tag(words ? "VelWrW" : "VelWrB", status));
        continue;
      }
      std::copy(data.begin(), data.end(), w.shadow.begin() + offset);
    } else {
      Bytes back(static_cast<size_t>(count), 0xEE);
      w.doing = "read";
      int status = words ? VelRdW(h, 'S', address, count / 2, back.data())
                         : VelRdB(h, 'S', address, count, back.data());
      c.reads++;
      if (status != VEL_OK) {
        Fail(c, m, tag(words ? "VelRdW" : "VelRdB", status));
        continue;
      }
      if (!std::equal(back.begin(), back.end(), w.shadow.begin() + offset)) {
        c.mismatches++;
        Fail(c, m,
             "thread " + std::to_string(w.index) + ": read back other bytes than written at " +
                 std::to_string(address));
      }
    }
    c.bytes += static_cast<uint64_t>(count);
  }
  w.doing = "closing";
  for (int h : w.handles) {
    int status = VelClose(h);
    if (status != VEL_OK) Fail(c, m, tag("VelClose", status));
    c.closes++;
  }
  w.handles.clear();
  w.doing = "done";
  Progress(w);
}

TEST(Stress, ThirtyTwoHandlesOnFourPorts) {
  const Family families[kPorts] = {Family::Fx, Family::A, Family::Fx, Family::A};
  std::vector<std::unique_ptr<velsim::PtyLine>> lines;
  for (int p = 0; p < kPorts; p++) {
    lines.push_back(std::make_unique<velsim::PtyLine>(families[p], DeviceDir(), 10 + p));
    // No faults here: a request is never dropped for a pause within it, so a writer thread that the
    // loaded machine (or ThreadSanitizer) holds up for a moment does not look like a broken frame.
    lines.back()->setIdleGap(5s);
  }
  const int seconds = StressSeconds();
  std::vector<Worker> workers(kThreads);
  for (int t = 0; t < kThreads; t++) {
    Worker &w = workers[static_cast<size_t>(t)];
    w.index = t;
    w.port = 9 + t % kPorts;  // COM10..COM13
    w.fx = families[t % kPorts] == Family::Fx;
    w.base = static_cast<uint16_t>(kRangeBase + (t / kPorts) * kRange);
    lines[static_cast<size_t>(t % kPorts)]->fill(w.base, kRange, 0);
    Progress(w);
  }

  Counts counts;
  std::mutex reportLock;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    while (!finished) {
      std::this_thread::sleep_for(250ms);
      // Millions of logged bytes would make the simulators stall on reallocation; nothing here needs them.
      for (auto &line : lines) {
        line->clearWire();
        line->clearTrace();
      }
      const int64_t now = Clock::now().time_since_epoch().count();
      for (const Worker &w : workers) {
        if (now - w.lastProgress.load() > std::chrono::duration_cast<Clock::duration>(kStallLimit).count()) {
          std::fprintf(stderr, "watchdog: thread %d (port %d) made no progress for 10 s in %s: deadlock\n",
                       w.index, w.port, w.doing.load());
          std::fflush(stderr);
          std::abort();
        }
      }
    }
  });
  std::vector<std::thread> threads;
  for (Worker &w : workers)
    threads.emplace_back(Work, std::ref(w), std::ref(counts), std::ref(reportLock), end);
  for (std::thread &t : threads) t.join();
  finished = true;
  watchdog.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();

  // Every range holds exactly what its thread wrote last; every frame arrived whole.
  uint64_t frames = 0;
  for (const Worker &w : workers) {
    velsim::PtyLine &line = *lines[static_cast<size_t>(w.index % kPorts)];
    line.settle();
    EXPECT_EQ(line.read(w.base, kRange), w.shadow) << "thread " << w.index;
  }
  for (int p = 0; p < kPorts; p++) {
    EXPECT_EQ(lines[static_cast<size_t>(p)]->protocolErrors(), 0u) << "port " << 9 + p;
    frames += lines[static_cast<size_t>(p)]->frames();
  }
  EXPECT_EQ(counts.failures.load(), 0u);
  EXPECT_EQ(counts.mismatches.load(), 0u);
  EXPECT_GT(counts.reads.load() + counts.writes.load(), 100u);
  std::printf(
      "stress: %d threads, %d ports, %.1f s: %llu opens, %llu closes, %llu writes, %llu reads, "
      "%llu bytes, %llu frames, %llu failures\n",
      kThreads, kPorts, took, static_cast<unsigned long long>(counts.opens.load()),
      static_cast<unsigned long long>(counts.closes.load()),
      static_cast<unsigned long long>(counts.writes.load()),
      static_cast<unsigned long long>(counts.reads.load()),
      static_cast<unsigned long long>(counts.bytes.load()), static_cast<unsigned long long>(frames),
      static_cast<unsigned long long>(counts.failures.load()));
}

}  // namespace
