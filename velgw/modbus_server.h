// The Modbus TCP server: one unit id per controller, answered from the
// cache; writes go through to the controller and are answered once it has
// acknowledged them. One thread serves every client with poll(): requests
// are framed here, so a slow, silent or garbling client holds up nobody,
// and libmodbus builds the answers.
#pragma once

#include <modbus.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "runtime.h"
#include "write_job.h"

namespace velgw {

class ModbusServer {
 public:
  ModbusServer();
  ~ModbusServer();
  ModbusServer(const ModbusServer &) = delete;
  ModbusServer &operator=(const ModbusServer &) = delete;

  // Binds and listens. False with *error set.
  bool Listen(const ModbusConfig &config, std::string *error);
  // What it listens on: "127.0.0.1:1502", "[::]:502".
  std::string Address() const {
    return address_;
  }
  void Start(std::shared_ptr<Runtime> runtime);
  // The configuration to serve from now on (a reload).
  void SetRuntime(std::shared_ptr<Runtime> runtime);
  // Answers the writes that have ended, then closes every connection.
  void Stop();

 private:
  struct Client {
    std::uint64_t id = 0;
    int fd = -1;
    std::string name;
    std::vector<std::uint8_t> in;
    double lastRequest = 0;
    bool waiting = false;  // a write is under way: its answer comes first
    bool gone = false;
  };
  struct Completion {
    std::uint64_t client;
    std::vector<std::uint8_t> request;
    WriteResult result;
  };

  void Run();
  void Accept(const Runtime &runtime);
  void Receive(Client &client, Runtime &runtime);
  void Serve(Client &client, Runtime &runtime);
  void Request(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime);
  void Read(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime, int controller);
  void Write(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime, int controller);
  void Reply(Client &client, const std::vector<std::uint8_t> &adu);
  void Exception(Client &client, const std::vector<std::uint8_t> &adu, int code);
  void Drop(Client &client, const char *why);
  void Finish(Runtime &runtime);
  void Wake();
  // A client's arrival or departure, for the log: at most kClientLines in
  // ten seconds, then one line with the count of the rest, so that a client
  // that connects in a loop cannot flood the log.
  void ClientEvent(const std::string &text);
  void ClientEventsSummary(double now);

  modbus_t *ctx_ = nullptr;
  modbus_mapping_t *scratch_ = nullptr;  // the whole address space, filled per answer
  int listen_ = -1;
  int wake_ = -1;
  std::string address_;
  std::thread thread_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::uint64_t nextId_ = 1;
  double eventWindow_ = 0;  // Now() when the current ten seconds began
  int eventsLogged_ = 0, eventsSuppressed_ = 0;

  std::mutex mutex_;
  std::shared_ptr<Runtime> runtime_;
  std::vector<Completion> completions_;
  bool stop_ = false;
};

}  // namespace velgw
