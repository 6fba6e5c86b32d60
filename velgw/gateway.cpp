#include "gateway.h"

#include <mosquitto.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "config.h"
#include "environment.h"
#include "log.h"
#include "modbus_server.h"
#include "mqtt_client.h"
#include "program.h"
#include "runtime.h"
#include "scan_plan.h"

namespace velgw {

namespace {

bool SameMqtt(const MqttConfig &a, const MqttConfig &b) {
  return a.host == b.host && a.port == b.port && a.clientId == b.clientId && a.prefix == b.prefix &&
         a.username == b.username && a.password == b.password && a.qos == b.qos &&
         a.keepalive == b.keepalive && a.maxInterval == b.maxInterval && a.reconnectMax == b.reconnectMax &&
         a.tls.enabled == b.tls.enabled && a.tls.caFile == b.tls.caFile && a.tls.caPath == b.tls.caPath &&
         a.tls.certFile == b.tls.certFile && a.tls.keyFile == b.tls.keyFile &&
         a.tls.insecure == b.tls.insecure;
}

std::string Summary(const Config &config, const std::string &modbusAddress) {
  std::string s = std::to_string(config.controllers.size()) + " controller" +
                  (config.controllers.size() == 1 ? "" : "s") + ", " + std::to_string(config.TagCount()) +
                  " tag" + (config.TagCount() == 1 ? "" : "s");
  if (config.modbus.enabled) s += "; Modbus TCP on " + modbusAddress;
  if (config.mqtt.enabled)
    s += "; MQTT to " + config.mqtt.host + ":" + std::to_string(config.mqtt.port) + " under " +
         config.mqtt.prefix + "/";
  return s;
}

class Gateway {
 public:
  explicit Gateway(std::string path) : path_(std::move(path)) {}

  int Run() {
    std::vector<std::string> errors;
    auto config = LoadConfig(path_, &errors);
    if (!config) {
      for (const std::string &e : errors) std::fprintf(stderr, "velgw: %s\n", e.c_str());
      return 2;
    }
    CaptureEnvironment();
    // Signals are taken by sigwait() below; every thread started from here
    // on has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();

    runtime_ = std::make_shared<Runtime>(*config);
    std::string error;
    if (config->modbus.enabled) {
      modbus_ = std::make_unique<ModbusServer>();
      if (!modbus_->Listen(config->modbus, &error)) {
        Log("modbus: %s", error.c_str());
        return 1;
      }
    }
    if (config->mqtt.enabled) {
      mqtt_ = std::make_unique<MqttClient>(config->mqtt);
      if (!mqtt_->Start(runtime_, &error)) {
        Log("mqtt: %s", error.c_str());
        return 1;
      }
    }
    runtime_->Start();
    if (modbus_) modbus_->Start(runtime_);
    Log("velgw %s: %s", ProgramVersion(), Summary(*config, modbus_ ? modbus_->Address() : "").c_str());

    int signal = 0;
    for (;;) {
      if (sigwait(&signals, &signal) != 0) continue;
      if (signal != SIGHUP) break;
      Reload();
    }
    Log("stopping (%s)", signal == SIGTERM ? "SIGTERM" : "SIGINT");
    runtime_->Stop();  // after the transfers under way
    runtime_->CloseLinks();
    if (modbus_) modbus_->Stop();
    if (mqtt_) mqtt_->Stop();
    mqtt_.reset();
    modbus_.reset();
    runtime_.reset();
    mosquitto_lib_cleanup();
    Log("stopped");
    return 0;
  }

 private:
  void Reload() {
    std::vector<std::string> errors;
    auto config = LoadConfig(path_, &errors);
    if (!config) {
      Log("reload refused, the running configuration stays: %zu problem%s", errors.size(),
          errors.size() == 1 ? "" : "s");
      for (const std::string &e : errors) Log("  %s", e.c_str());
      return;
    }
    std::unique_ptr<ModbusServer> server;
    const ModbusConfig &running = runtime_->config().modbus;
    const bool relisten = config->modbus.enabled && (!modbus_ || running.host != config->modbus.host ||
                                                     running.port != config->modbus.port);
    if (relisten) {
      server = std::make_unique<ModbusServer>();
      std::string error;
      if (!server->Listen(config->modbus, &error)) {
        Log("reload refused, the running configuration stays: modbus: %s", error.c_str());
        return;
      }
    }
    runtime_->Stop();
    auto next = std::make_shared<Runtime>(*config);
    // Controllers that stayed the same go on with their open links; the
    // others' links close before any is opened again.
    next->TakeOver(*runtime_);
    runtime_->CloseLinks();

    if (!config->modbus.enabled || relisten) {
      if (modbus_) modbus_->Stop();
      modbus_ = std::move(server);
      if (modbus_) modbus_->Start(next);
    } else {
      modbus_->SetRuntime(next);
    }
    if (!config->mqtt.enabled || !mqtt_ || !SameMqtt(mqtt_->config(), config->mqtt)) {
      if (mqtt_) mqtt_->Stop();
      mqtt_.reset();
      if (config->mqtt.enabled) {
        mqtt_ = std::make_unique<MqttClient>(config->mqtt);
        std::string error;
        if (!mqtt_->Start(next, &error)) {
          Log("mqtt: %s", error.c_str());
          mqtt_.reset();
        }
      }
    } else {
      mqtt_->SetRuntime(next);
    }
    runtime_ = next;
    runtime_->Start();
    Log("configuration reloaded: %s", Summary(*config, modbus_ ? modbus_->Address() : "").c_str());
  }

  std::string path_;
  std::shared_ptr<Runtime> runtime_;
  std::unique_ptr<ModbusServer> modbus_;
  std::unique_ptr<MqttClient> mqtt_;
};

}  // namespace

int RunGateway(const std::string &path) {
  return Gateway(path).Run();
}

int CheckConfig(const std::string &path) {
  CaptureEnvironment();  // the frame size the links would use
  std::vector<std::string> errors;
  auto config = LoadConfig(path, &errors);
  if (!config) {
    for (const std::string &e : errors) std::fprintf(stderr, "velgw: %s\n", e.c_str());
    return 2;
  }
  const std::string listen =
      (config->modbus.host.empty() ? "*" : config->modbus.host) + ":" + config->modbus.port;
  std::printf("%s: %s\n", path.c_str(), Summary(*config, listen).c_str());
  for (const ControllerConfig &c : config->controllers) {
    std::vector<int> all(c.tags.size());
    for (std::size_t i = 0; i < all.size(); i++) all[i] = static_cast<int>(i);
    const std::size_t reads = PlanReads(c, all, FrameBytes(c), LegacyAreas(c)).size();
    std::printf("  %s: %s, %s", c.name.c_str(), PortName(c).c_str(),
                c.family == operands::Family::Fx ? "FX" : "A-series");
    if (c.unit) std::printf(", Modbus unit %d", c.unit);
    std::printf(", %zu tag%s read in %zu transfer%s\n", c.tags.size(), c.tags.size() == 1 ? "" : "s", reads,
                reads == 1 ? "" : "s");
  }
  return 0;
}

}  // namespace velgw
