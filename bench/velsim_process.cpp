#include "velsim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench_support.h"

extern char **environ;

namespace bench {

VelsimProcess::VelsimProcess(const std::string &program, Family family, const std::string &dir, int com,
                             bool pace) {
  std::vector<std::string> args = {
      program, "--family", family == Family::Fx ? "fx" : "a", "--dir", dir, "--com", std::to_string(com)};
  if (pace) args.push_back("--pace");
  start(args);
}

VelsimProcess::VelsimProcess(const std::string &program, Family family, bool pace) {
  std::vector<std::string> args = {program, "--family", family == Family::Fx ? "fx" : "a", "--listen",
                                   "127.0.0.1:0"};
  if (pace) args.push_back("--pace");
  start(args);
}

void VelsimProcess::start(std::vector<std::string> args) {
  const std::string program = args[0];
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("velbench: pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, p[1], STDOUT_FILENO);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(p[1]);
  out_ = p[0];
  if (rc != 0) {
    close(out_);
    throw std::runtime_error("velbench: cannot start " + program);
  }

  // velsim prints "velsim: FX controller on DIR/COMn (/dev/pts/N)" once it serves.
  std::string seen;
  const double until = NowMs() + 5000;
  while (seen.find(" on ") == std::string::npos || seen.find('\n') == std::string::npos) {
    pollfd pf{out_, POLLIN, 0};
    const int left = static_cast<int>(until - NowMs());
    if (left <= 0 || poll(&pf, 1, left) <= 0) break;
    char buf[256];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  if (seen.find(" on ") == std::string::npos) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(out_);
    throw std::runtime_error("velbench: velsim did not start: " + seen);
  }
  // "velsim: FX controller on tcp://127.0.0.1:40123"
  const std::size_t tcp = seen.find("tcp://");
  if (tcp != std::string::npos) address_ = seen.substr(tcp, seen.find_first_of(" \n", tcp) - tcp);
}

VelsimProcess::~VelsimProcess() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  close(out_);
}

double VelsimProcess::cpuMs() const {
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string line;
  std::getline(stat, line);
  // Fields after the command name (which ends with the last ')'): state is field 3, utime 14, stime 15.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; i++)
    if (i >= 14) ticks += std::stod(field);
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
