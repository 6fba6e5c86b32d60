// The gateway: Modbus read latency of cached values with 32 clients against a plain libmodbus server
// in the same run; the cycle time of 16 paced controllers polled at once against one alone; the CPU
// load of a gateway polling 16 paced controllers once a second; the publish rate of 1,000 changing
// tags. velgw runs as a process of its own; the simulators run here.
#include <fcntl.h>
#include <modbus.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"

extern char **environ;

namespace bench {

namespace {

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A program in a process of its own, its output in a file.
class Process {
 public:
  Process(std::vector<std::string> args, const std::string &log) : log_(log) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int rc = posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~Process() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  // Waits until the output holds text; the output.
  std::string WaitFor(const std::string &text, double ms = 30000) {
    const double until = NowMs() + ms;
    for (;;) {
      std::string out = ReadAll(log_);
      if (out.find(text) != std::string::npos) return out;
      if (NowMs() > until) throw std::runtime_error("'" + text + "' did not come; output:\n" + out);
      usleep(20000);
    }
  }
  // User plus system CPU time so far, in milliseconds.
  double CpuMs() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> f; i++) {
      if (i == 14) utime = std::stod(f);
      if (i == 15) {
        stime = std::stod(f);
        break;
      }
    }
    return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// velgw with a configuration; waits until every controller is online.
std::unique_ptr<Process> Gateway(const std::string &name, const std::string &config, int controllers,
                                 int *modbusPort = nullptr) {
  const std::string file = DeviceDir() + "/" + name + ".toml";
  std::ofstream(file) << config;
  auto p = std::make_unique<Process>(std::vector<std::string>{VELBENCH_VELGW, "--config", file},
                                     DeviceDir() + "/" + name + ".log");
  std::string log = p->WaitFor("velgw ");
  const double until = NowMs() + 60000;
  for (;;) {
    log = ReadAll(DeviceDir() + "/" + name + ".log");
    int online = 0;
    for (std::size_t at = 0; (at = log.find(": online (", at)) != std::string::npos; at++) online++;
    if (online == controllers) break;
    if (NowMs() > until) throw std::runtime_error("not every controller came online:\n" + log);
    usleep(50000);
  }
  if (modbusPort) {
    const std::size_t at = log.find("Modbus TCP on 127.0.0.1:");
    *modbusPort = std::atoi(log.c_str() + at + 24);
  }
  return p;
}

std::string Controllers(int n, const std::string &tags) {
  std::string text;
  for (int c = 1; c <= n; c++) {
    const std::string name = "c" + std::to_string(c);
    std::string t = tags;
    for (std::size_t at; (at = t.find("{C}")) != std::string::npos;) t.replace(at, 3, name);
    text += "[controllers." + name + "]\nport = \"COM" + std::to_string(c) +
            "\"\nfamily = \"fx\"\nunit = " + std::to_string(c) + "\n" + t;
  }
  return text;
}

// A plain libmodbus server answering from a static mapping, in a process of its own, as libmodbus'
// own multi-client examples serve: select() over the clients, modbus_receive(), modbus_reply().
pid_t PlainServer(int port) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_mapping_t *mapping = modbus_mapping_new(0, 0, 100, 0);
  for (int i = 0; i < 100; i++) mapping->tab_registers[i] = static_cast<std::uint16_t>(i);
  const int listener = modbus_tcp_listen(ctx, 64);
  if (listener < 0) _exit(1);
  fd_set all;
  FD_ZERO(&all);
  FD_SET(listener, &all);
  int top = listener;
  std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    fd_set ready = all;
    if (select(top + 1, &ready, nullptr, nullptr, nullptr) < 0) _exit(1);
    for (int fd = 0; fd <= top; fd++) {
      if (!FD_ISSET(fd, &ready)) continue;
      if (fd == listener) {
        const int client = accept(listener, nullptr, nullptr);
        if (client >= 0) {
          FD_SET(client, &all);
          top = std::max(top, client);
        }
        continue;
      }
      modbus_set_socket(ctx, fd);
      const int n = modbus_receive(ctx, query);
      if (n > 0) {
        modbus_reply(ctx, query, n, mapping);
      } else if (n < 0) {
        close(fd);
        FD_CLR(fd, &all);
      }
    }
  }
}

// 32 clients reading 10 holding registers of the unit in a loop for the time: every latency in µs.
std::vector<double> Latencies(int port, int unit, double seconds, int clients = 32) {
  std::vector<std::vector<double>> each(static_cast<std::size_t>(clients));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  const double until = NowMs() + seconds * 1000;
  for (int c = 0; c < clients; c++) {
    threads.emplace_back([&, c] {
      modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
      modbus_set_slave(ctx, unit);
      if (modbus_connect(ctx) != 0) {
        failures++;
        modbus_free(ctx);
        return;
      }
      std::uint16_t regs[10];
      while (NowMs() < until) {
        const double t0 = NowMs();
        if (modbus_read_registers(ctx, 0, 10, regs) != 10) {
          failures++;
          continue;
        }
        each[static_cast<std::size_t>(c)].push_back((NowMs() - t0) * 1000);
      }
      modbus_close(ctx);
      modbus_free(ctx);
    });
  }
  for (std::thread &t : threads) t.join();
  if (failures) throw std::runtime_error(Format("%d Modbus reads failed", failures.load()));
  std::vector<double> all;
  for (auto &v : each) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  return all;
}

double Percentile(const std::vector<double> &sorted, double p) {
  return sorted.empty() ? 0
                        : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
}

void ModbusLatency(ResultTable &table) {
  Progress("gateway: Modbus latency, 32 clients, velgw against a plain libmodbus server");
  velsim::PtyLine line(velsim::Family::Fx, DeviceDir(), 1);
  int port = 0;
  auto gateway =
      Gateway("latency",
              "[modbus]\nlisten = \"127.0.0.1:0\"\n[groups.default]\ninterval = 1\nmax_age = 3600\n" +
                  Controllers(1,
                              "[[controllers.{C}.tags]]\nname = \"d\"\naddress = \"D0\"\ncount = 10\n"
                              "holding = 0\n"),
              1, &port);
  const int plainPort = FreePort();
  const pid_t plain = PlainServer(plainPort);
  usleep(200000);
  std::vector<double> ours, theirs;
  for (int round = 0; round < 2; round++) {  // alternating, so that drift hits both
    auto a = Latencies(plainPort, 1, 3);
    theirs.insert(theirs.end(), a.begin(), a.end());
    auto b = Latencies(port, 1, 3);
    ours.insert(ours.end(), b.begin(), b.end());
  }
  kill(plain, SIGKILL);
  waitpid(plain, nullptr, 0);
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  const double p50 = Percentile(ours, 0.5), p99 = Percentile(ours, 0.99);
  const double b50 = Percentile(theirs, 0.5), b99 = Percentile(theirs, 0.99);
  table.addAndShow(
      {"gateway", "Modbus read, cached, 32 clients: p50",
       Format("%.2f x (%.0f / %.0f µs; %zu / %zu reads)", p50 / b50, p50, b50, ours.size(), theirs.size()),
       "-", Held::Info});
  const double ratio = p99 / b99;
  table.addAndShow({"gateway", "Modbus read, cached, 32 clients: p99",
                    Format("%.2f x a plain libmodbus server (%.0f / %.0f µs)", ratio, p99, b99), "<= 1.5 x",
                    ratio <= 1.5 ? Held::Yes : Held::No});
}

// Exchanges per second of each controller while the gateway polls them continuously.
double CycleMs(int controllers) {
  std::vector<std::unique_ptr<velsim::PtyLine>> lines;
  for (int c = 1; c <= controllers; c++) {
    lines.push_back(std::make_unique<velsim::PtyLine>(velsim::Family::Fx, DeviceDir(), c));
    lines.back()->setPace(true);
    lines.back()->setKeepHistory(false);
  }
  auto gateway = Gateway("cycle" + std::to_string(controllers),
                         "[modbus]\nlisten = \"127.0.0.1:0\"\n[groups.default]\ninterval = 0.01\n" +
                             Controllers(controllers,
                                         "[[controllers.{C}.tags]]\nname = \"d\"\naddress = \"D0\"\n"
                                         "count = 32\nholding = 0\n"),
                         controllers);
  usleep(1000000);
  std::vector<std::uint64_t> before;
  for (auto &l : lines) before.push_back(l->frames());
  const double t0 = NowMs();
  usleep(8000000);
  const double ms = NowMs() - t0;
  double cycles = 0;
  for (std::size_t i = 0; i < lines.size(); i++)
    cycles += static_cast<double>(lines[i]->frames() - before[i]);
  return ms / (cycles / controllers);
}

void PacedScaling(ResultTable &table) {
  Progress("gateway: one paced controller polled alone");
  const double one = CycleMs(1);
  Progress("gateway: 16 paced controllers polled at once (16 opens take about 8 s)");
  const double sixteen = CycleMs(16);
  const double ratio = sixteen / one;
  table.addAndShow({"gateway", "16 paced FX controllers polled at once, 64 B each: time per cycle",
                    Format("%.3f x one alone (%.1f / %.1f ms)", ratio, sixteen, one), "<= 1.1 x",
                    ratio <= 1.1 ? Held::Yes : Held::No});
}

void IdleCpu(ResultTable &table, const std::string &broker) {
  Progress("gateway: CPU of a gateway polling 16 paced controllers once a second");
  std::vector<std::unique_ptr<velsim::PtyLine>> lines;
  for (int c = 1; c <= 16; c++) {
    lines.push_back(std::make_unique<velsim::PtyLine>(velsim::Family::Fx, DeviceDir(), c));
    lines.back()->setPace(true);
    lines.back()->setKeepHistory(false);
  }
  auto gateway =
      Gateway("idle",
              "[modbus]\nlisten = \"127.0.0.1:0\"\n[mqtt]\nbroker = \"" + broker +
                  "\"\nprefix = \"idle\"\n[groups.default]\ninterval = 1\n" +
                  Controllers(16,
                              "[[controllers.{C}.tags]]\nname = \"d\"\naddress = \"D0\"\ncount = 10\n"
                              "holding = 0\n[[controllers.{C}.tags]]\nname = \"m\"\naddress = \"M0\"\n"
                              "count = 16\ncoil = 0\n"),
              16);
  usleep(2000000);
  const double cpu0 = gateway->CpuMs(), t0 = NowMs();
  usleep(20000000);
  const double load = 100 * (gateway->CpuMs() - cpu0) / (NowMs() - t0);
  table.addAndShow({"gateway", "CPU polling 16 paced controllers once a second (Modbus and MQTT on)",
                    Format("%.2f %% of a core", load), "< 2 %", load < 2 ? Held::Yes : Held::No});
}

void PublishRate(ResultTable &table, const std::string &broker, int brokerPort) {
  Progress("gateway: publish rate of 1,000 changing tags");
  velsim::PtyLine line(velsim::Family::Fx, DeviceDir(), 1);
  line.setKeepHistory(false);
  std::string tags;
  for (int i = 0; i < 1000; i++)
    tags += "[[controllers.{C}.tags]]\nname = \"t" + std::to_string(i) + "\"\naddress = \"D" +
            std::to_string(i) + "\"\n";
  auto gateway = Gateway("publish",
                         "[mqtt]\nbroker = \"" + broker +
                             "\"\nprefix = \"rate\"\nmax_interval = 0\n"
                             "[groups.default]\ninterval = 0.05\n" +
                             Controllers(1, tags),
                         1);
  std::atomic<bool> run{true};
  std::thread changer([&] {
    std::vector<std::uint8_t> values(2000);
    for (std::uint16_t round = 1; run; round++) {
      for (std::size_t i = 0; i < 1000; i++) {
        values[2 * i] = static_cast<std::uint8_t>(round + i);
        values[2 * i + 1] = static_cast<std::uint8_t>(round >> 8);
      }
      line.write(0x1000, values);
      usleep(20000);
    }
  });
  std::atomic<long> received{0};
  mosquitto *sub = mosquitto_new(nullptr, true, &received);
  mosquitto_message_callback_set(sub, [](mosquitto *, void *count, const mosquitto_message *) {
    ++*static_cast<std::atomic<long> *>(count);
  });
  mosquitto_connect(sub, "127.0.0.1", brokerPort, 30);
  mosquitto_subscribe(sub, nullptr, "rate/c1/+", 0);
  mosquitto_loop_start(sub);
  usleep(2000000);
  const long n0 = received;
  const double cpu0 = gateway->CpuMs(), t0 = NowMs();
  usleep(5000000);
  const double seconds = (NowMs() - t0) / 1000;
  const double rate = static_cast<double>(received - n0) / seconds;
  const double cpu = (gateway->CpuMs() - cpu0) / (seconds * 10);
  mosquitto_disconnect(sub);
  mosquitto_loop_stop(sub, false);
  mosquitto_destroy(sub);
  run = false;
  changer.join();
  table.addAndShow({"gateway", "MQTT publish rate, 1,000 tags changing every 20 ms, polled every 50 ms",
                    Format("%.0f messages/s received (velgw %.0f %% of a core)", rate, cpu), "-",
                    Held::Info});
}

}  // namespace

void GatewaySection(const Options &, ResultTable &table) {
  mosquitto_lib_init();
  ModbusLatency(table);
  PacedScaling(table);
  const int port = FreePort();
  const std::string conf = DeviceDir() + "/mosquitto.conf";
  std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\nlog_dest none\n";
  std::string program = "mosquitto";
  for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
    if (access((std::string(dir) + "mosquitto").c_str(), X_OK) == 0) program = std::string(dir) + "mosquitto";
  Process broker({program, "-c", conf}, DeviceDir() + "/mosquitto.log");
  usleep(500000);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  IdleCpu(table, address);
  PublishRate(table, address, port);
  mosquitto_lib_cleanup();
}

}  // namespace bench
