#include "gateway_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace gwtest {

std::string Which(const std::string &program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0 ? program : "";
  const char *path = getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) abort();
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

Result RunProgram(std::vector<std::string> argv, std::chrono::milliseconds timeout,
                  std::vector<std::pair<std::string, std::string>> env) {
  ChildProcess::Setup setup;
  const std::string program = Which(argv[0]);
  if (program.empty()) return {127, argv[0] + ": not found"};
  setup.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", program};
  setup.argv.insert(setup.argv.end(), argv.begin() + 1, argv.end());
  setup.env = std::move(env);
  ChildProcess child(setup);
  Result r;
  r.status = child.WaitExit(timeout);
  r.out = child.Output();
  return r;
}

void WriteFile(const std::string &path, const std::string &text) {
  std::ofstream(path) << text;
}

namespace {

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

Broker::Broker(const std::string &dir, const std::string &extra) {
  for (int attempt = 0; attempt < 5 && !process_; attempt++) {
    port_ = FreePort();
    conf_ = dir + "/mosquitto-" + std::to_string(port_) + ".conf";
    // No log: nobody reads it while the tests run.
    WriteFile(conf_, "listener " + std::to_string(port_) +
                         " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n" + extra);
    Start();
  }
  if (!process_) ADD_FAILURE() << "mosquitto did not start";
}

void Broker::Start() {
  ChildProcess::Setup setup;
  setup.argv = {Which("mosquitto"), "-c", conf_};
  auto p = std::make_unique<ChildProcess>(setup);
  if (Eventually([&] { return Accepts(port_); }, 10s)) process_ = std::move(p);
}

void Broker::Stop() {
  if (!process_) return;
  kill(process_->Pid(), SIGTERM);
  process_->WaitExit(10s);
  process_.reset();
}

Subscriber::Subscriber(int port, const std::string &filter) {
  ChildProcess::Setup setup;
  setup.argv = {Which("mosquitto_sub"), "-h", "127.0.0.1", "-p", std::to_string(port), "-t", filter, "-v"};
  process_ = std::make_unique<ChildProcess>(setup);
}

bool Subscriber::WaitFor(const std::string &text, std::chrono::milliseconds timeout) {
  return Eventually(
      [&] {
        process_->StaysQuiet(20ms);  // reads what is there
        return process_->Output().find(text, mark_) != std::string::npos;
      },
      timeout);
}

void Subscriber::Mark() {
  process_->StaysQuiet(20ms);
  mark_ = process_->Output().size();
}

bool Subscriber::NotWithin(const std::string &text, std::chrono::milliseconds time) {
  process_->StaysQuiet(time);
  return process_->Output().find(text, mark_) == std::string::npos;
}

Gateway::Gateway(const std::string &deviceDir, const std::string &configPath) {
  ChildProcess::Setup setup;
  setup.argv = {"/bin/sh", "-c", "exec \"$0\" --config \"$1\" 2>&1", VELGW_PATH, configPath};
  setup.env = {{"VELDRV_DEVICE_DIR", deviceDir}};
  process_ = std::make_unique<ChildProcess>(setup);
  if (WaitLog("velgw ", 20s)) {
    const std::string &log = process_->Output();
    const std::size_t at = log.find("Modbus TCP on ");
    if (at != std::string::npos) {
      const std::size_t colon = log.find(':', log.find("127.0.0.1", at) + 9);
      modbusPort_ = std::atoi(log.c_str() + colon + 1);
    }
  } else {
    ADD_FAILURE() << "velgw did not start:\n" << process_->Output();
  }
}

bool Gateway::WaitLog(const std::string &text, std::chrono::milliseconds timeout) {
  return process_->WaitFor(text, timeout);
}

bool Gateway::Logged(const std::string &text, std::chrono::milliseconds timeout) {
  return Eventually(
      [&] {
        process_->StaysQuiet(20ms);  // reads what is there
        return process_->Output().find(text) != std::string::npos;
      },
      timeout);
}

void Gateway::Signal(int signal) {
  kill(process_->Pid(), signal);
}

std::optional<std::map<int, long>> Mbpoll(std::vector<std::string> args) {
  args.insert(args.begin(), "mbpoll");
  Result r = RunProgram(args);
  if (r.status != 0) return std::nullopt;
  std::map<int, long> values;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    int address;
    long value;
    if (std::sscanf(line.c_str(), "[%d]: %ld", &address, &value) == 2) values[address] = value;
  }
  return values;
}

std::string Pymodbus(int port, int unit, std::vector<std::string> args) {
  std::vector<std::string> argv = {"/usr/bin/python3", MODBUS_CLIENT_PY, std::to_string(port),
                                   std::to_string(unit)};
  argv.insert(argv.end(), args.begin(), args.end());
  Result r = RunProgram(argv, 60s);
  if (r.status == 77) return "skip";
  while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

std::vector<std::uint8_t> Words(std::initializer_list<std::uint16_t> words) {
  std::vector<std::uint8_t> bytes;
  for (std::uint16_t w : words) {
    bytes.push_back(static_cast<std::uint8_t>(w));
    bytes.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  return bytes;
}

bool Eventually(const std::function<bool()> &check, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (check()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace gwtest
