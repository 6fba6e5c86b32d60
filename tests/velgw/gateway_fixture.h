// velgw run as a program against simulated controllers, with real peers:
// a mosquitto broker, mosquitto_sub and mosquitto_pub, mbpoll, and pymodbus
// (modbus_client.py). Everything listens on 127.0.0.1 at free ports; the
// simulators' pseudo-terminals lie in a private folder.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "sim.h"

namespace gwtest {

// A program's absolute path from PATH, /usr/sbin or /sbin; empty if none.
std::string Which(const std::string &program);
// Skips the test when a program of a Debian package is missing.
#define VELGW_NEED(program, package)  \
  if (gwtest::Which(program).empty()) \
  GTEST_SKIP() << program << " is missing (apt-get install " << package << ")"

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();

struct Result {
  int status = -1;
  std::string out;  // standard output and error
};
// Runs a program to its end (PATH is searched for argv[0]).
Result RunProgram(std::vector<std::string> argv, std::chrono::milliseconds timeout = 20s,
                  std::vector<std::pair<std::string, std::string>> env = {});

// A mosquitto broker on 127.0.0.1 at a free port.
class Broker {
 public:
  // extra: more lines of mosquitto.conf (a bridge).
  explicit Broker(const std::string &dir, const std::string &extra = "");
  int Port() const {
    return port_;
  }
  // Ends the broker (its retained messages with it) and starts it again on the same port.
  void Stop();
  void Start();

 private:
  std::string conf_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// mosquitto_sub -v on a topic filter, read while it runs.
class Subscriber {
 public:
  Subscriber(int port, const std::string &filter);
  // Waits until a message after the mark (at first: all) contains text.
  bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 10s);
  // From now on, WaitFor looks only at what comes after this.
  void Mark();
  // True when nothing containing text comes within the time.
  bool NotWithin(const std::string &text, std::chrono::milliseconds time);
  const std::string &Output() const {
    return process_->Output();
  }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::size_t mark_ = 0;
};

// velgw --config FILE with VELDRV_DEVICE_DIR set, its log read while it runs.
class Gateway {
 public:
  Gateway(const std::string &deviceDir, const std::string &configPath);
  // Waits for a log line containing text (after the last one waited for).
  bool WaitLog(const std::string &text, std::chrono::milliseconds timeout = 15s);
  // Waits until the whole log contains text.
  bool Logged(const std::string &text, std::chrono::milliseconds timeout = 15s);
  // True when it logs nothing for the time.
  bool Quiet(std::chrono::milliseconds time) {
    return process_->StaysQuiet(time);
  }
  int ModbusPort() const {
    return modbusPort_;
  }
  const std::string &Log() const {
    return process_->Output();
  }
  void Signal(int signal);
  int WaitExit(std::chrono::milliseconds timeout = 20s) {
    return process_->WaitExit(timeout);
  }

 private:
  std::unique_ptr<ChildProcess> process_;
  int modbusPort_ = 0;
};

// Writes a file.
void WriteFile(const std::string &path, const std::string &text);

// mbpoll's values: "[0]: 17" lines as address -> value; none when it failed.
std::optional<std::map<int, long>> Mbpoll(std::vector<std::string> args);

// modbus_client.py PORT UNIT ARGS...: its one line of output (exit 77: "skip").
std::string Pymodbus(int port, int unit, std::vector<std::string> args);

// Little-endian words of controller memory.
std::vector<std::uint8_t> Words(std::initializer_list<std::uint16_t> words);

// Waits until check() holds (polling every 50 ms); false after the timeout.
bool Eventually(const std::function<bool()> &check, std::chrono::milliseconds timeout = 10s);

}  // namespace gwtest
