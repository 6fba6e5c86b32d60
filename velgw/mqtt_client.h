// The MQTT client: every tag's value as retained JSON on change and at a
// longest interval, the gateway's availability (its last will) and each
// controller's, and writes through <prefix>/<controller>/<tag>/set with the
// result on .../set/result. Its own network thread reconnects with back-off
// whatever went wrong; a second thread publishes from the cache.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "runtime.h"

struct mosquitto;
struct mosquitto_message;

namespace velgw {

class MqttClient {
 public:
  explicit MqttClient(const MqttConfig &config);
  ~MqttClient();
  MqttClient(const MqttClient &) = delete;
  MqttClient &operator=(const MqttClient &) = delete;

  // False with *error set when the client cannot be set up (the broker
  // need not be reachable: it is tried until it is).
  bool Start(std::shared_ptr<Runtime> runtime, std::string *error);
  // The configuration to publish from now on (a reload with the same [mqtt]).
  void SetRuntime(std::shared_ptr<Runtime> runtime);
  // Publishes every availability as offline and disconnects.
  void Stop();

  const MqttConfig &config() const {
    return config_;
  }

 private:
  // What was last published of a tag.
  struct TagSeen {
    bool published = false;
    Quality quality = Quality::None;
    std::uint64_t version = ~std::uint64_t{0};
    std::vector<std::uint8_t> bytes;
    double publishedAt = 0;
  };
  struct ControllerSeen {
    std::uint64_t version = ~std::uint64_t{0};
    double publishedAt = 0;
  };
  struct Message {
    std::string topic, payload;
    bool retain = true;
  };

  static void OnConnect(mosquitto *mosq, void *self, int rc);
  static void OnDisconnect(mosquitto *mosq, void *self, int rc);
  static void OnMessage(mosquitto *mosq, void *self, const mosquitto_message *message);

  void NetworkLoop();
  void PublishLoop();
  // Publishes what is due; full: everything.
  void Scan(Runtime &runtime, bool full);
  void Swapped(Runtime &earlier, Runtime &now);
  void Subscribe(const Runtime &runtime, bool on);
  void Write(const std::string &topic, const std::string &payload);
  void Publish(const Message &m);
  std::shared_ptr<Runtime> Current();
  std::string Topic(const std::string &controller, const std::string &rest = "") const;

  const MqttConfig config_;
  std::string clientId_;
  mosquitto *mosq_ = nullptr;
  std::thread network_, publisher_;

  std::mutex mutex_;
  std::shared_ptr<Runtime> runtime_;
  std::shared_ptr<Runtime> earlier_;  // set by SetRuntime until the publisher takes it
  bool connected_ = false;
  bool republish_ = false;  // after a (re)connect: everything again
  bool stop_ = false;
  std::condition_variable stopCv_;
  int refused_ = 0;  // the network thread's: the broker's last refusal

  // The publisher's own.
  std::vector<std::vector<TagSeen>> tagsSeen_;
  std::vector<ControllerSeen> controllersSeen_;
};

}  // namespace velgw
