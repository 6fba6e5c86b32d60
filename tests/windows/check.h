// A small test runner for the Windows end-to-end tests, so that no test
// framework has to be cross-built for them. Cases run in the order they are
// added; a case fails when any of its checks fails and stops at a REQUIRE.
#pragma once
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Skipped {
  std::string why;
};
struct Stopped {};

inline int &CaseFailures() {
  static int n = 0;
  return n;
}

inline void Fail(const char *file, int line, const std::string &what) {
  std::printf("  %s:%d: %s\n", file, line, what.c_str());
  std::fflush(stdout);
  CaseFailures()++;
}

inline void Skip(const std::string &why) {
  throw Skipped{why};
}

struct Case {
  std::string name;
  std::function<void()> body;
};

class Runner {
 public:
  void Add(std::string name, std::function<void()> body) {
    cases_.push_back({std::move(name), std::move(body)});
  }

  // Runs every case; prints one line per case and a closing RESULT line.
  // Returns the number of failed cases.
  int Run() {
    int passed = 0, failed = 0, skipped = 0;
    for (const Case &c : cases_) {
      std::printf("[ RUN      ] %s\n", c.name.c_str());
      std::fflush(stdout);
      CaseFailures() = 0;
      auto t0 = std::chrono::steady_clock::now();
      std::string skipReason;
      bool skippedCase = false;
      try {
        c.body();
      } catch (const Skipped &s) {
        skippedCase = true;
        skipReason = s.why;
      } catch (const Stopped &) {
        // a REQUIRE failed; its message is out already
      }
      long ms = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
              .count());
      if (CaseFailures() > 0) {
        failed++;
        std::printf("[  FAILED  ] %s (%ld ms)\n", c.name.c_str(), ms);
      } else if (skippedCase) {
        skipped++;
        std::printf("[  SKIPPED ] %s: %s\n", c.name.c_str(), skipReason.c_str());
      } else {
        passed++;
        std::printf("[       OK ] %s (%ld ms)\n", c.name.c_str(), ms);
      }
      std::fflush(stdout);
    }
    std::printf("RESULT passed=%d failed=%d skipped=%d\n", passed, failed, skipped);
    std::fflush(stdout);
    return failed;
  }

 private:
  std::vector<Case> cases_;
};

}  // namespace check

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) check::Fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"); \
  } while (0)

#define CHECK_EQ(expected, actual)                                                                        \
  do {                                                                                                    \
    long long e_ = static_cast<long long>(expected);                                                      \
    long long a_ = static_cast<long long>(actual);                                                        \
    if (e_ != a_)                                                                                         \
      check::Fail(__FILE__, __LINE__,                                                                     \
                  std::string(#actual " is ") + std::to_string(a_) + ", expected " + std::to_string(e_)); \
  } while (0)

// Like CHECK_EQ, but ends the case: what follows depends on it.
#define REQUIRE_EQ(expected, actual)                              \
  do {                                                            \
    int before_ = check::CaseFailures();                          \
    CHECK_EQ(expected, actual);                                   \
    if (check::CaseFailures() != before_) throw check::Stopped{}; \
  } while (0)
