// The velsim program in a process of its own, serving a pseudo-terminal DIR/COMn or a loopback TCP
// port, so that the benchmark process's CPU time is the library's alone.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "wire_time.h"

namespace bench {

class VelsimProcess {
 public:
  // Starts velsim and waits until it serves DIR/COMn. Throws std::runtime_error on failure.
  VelsimProcess(const std::string &program, Family family, const std::string &dir, int com, bool pace);
  // Serves a free TCP port on 127.0.0.1 instead (velsim --listen).
  VelsimProcess(const std::string &program, Family family, bool pace);
  ~VelsimProcess();  // SIGTERM, then waits for it
  VelsimProcess(const VelsimProcess &) = delete;
  VelsimProcess &operator=(const VelsimProcess &) = delete;

  // User plus system CPU time the simulator has used so far (clock-tick resolution), in milliseconds.
  double cpuMs() const;
  // "tcp://127.0.0.1:PORT" of a TCP server; empty for a pseudo-terminal.
  const std::string &address() const {
    return address_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;  // its standard output
  std::string address_;

  void start(std::vector<std::string> args);
};

}  // namespace bench
