#include "mqtt_client.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "clock.h"
#include "environment.h"
#include "json.h"
#include "log.h"
#include "values.h"

namespace velgw {

namespace {

// Without the full stop libmosquitto ends its texts with.
std::string Plain(std::string text) {
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string Reason(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return Plain(mosquitto_strerror(rc));
}

std::string Broker(const MqttConfig &c) {
  const bool v6 = c.host.find(':') != std::string::npos;
  return (v6 ? "[" + c.host + "]" : c.host) + ":" + std::to_string(c.port);
}

std::string TimeJson(double wall) {
  return wall > 0 ? JsonString(IsoTime(wall)) : "null";
}

}  // namespace

MqttClient::MqttClient(const MqttConfig &config) : config_(config) {
  clientId_ = config.clientId;
  if (clientId_.empty()) {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    clientId_ = std::string("velgw-") + (host[0] ? host : "gateway");
  }
}

MqttClient::~MqttClient() {
  Stop();
  if (mosq_) mosquitto_destroy(mosq_);
}

std::string MqttClient::Topic(const std::string &controller, const std::string &rest) const {
  std::string t = config_.prefix + "/" + controller;
  return rest.empty() ? t : t + "/" + rest;
}

bool MqttClient::Start(std::shared_ptr<Runtime> runtime, std::string *error) {
  mosq_ = mosquitto_new(clientId_.c_str(), true, this);
  if (!mosq_) {
    *error = std::string("cannot set up the MQTT client: ") + std::strerror(errno);
    return false;
  }
  mosquitto_threaded_set(mosq_, true);
  const std::string will = config_.prefix + "/availability";
  int rc = mosquitto_will_set(mosq_, will.c_str(), 7, "offline", config_.qos, true);
  if (rc == MOSQ_ERR_SUCCESS && config_.username)
    rc = mosquitto_username_pw_set(mosq_, config_.username->c_str(),
                                   config_.password ? config_.password->c_str() : nullptr);
  if (rc == MOSQ_ERR_SUCCESS && config_.tls.enabled) {
    auto orNull = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    rc = mosquitto_tls_set(mosq_, orNull(config_.tls.caFile), orNull(config_.tls.caPath),
                           orNull(config_.tls.certFile), orNull(config_.tls.keyFile), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(mosq_, config_.tls.insecure);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "cannot set up the MQTT client: " + Reason(rc);
    return false;
  }
  mosquitto_connect_callback_set(mosq_, OnConnect);
  mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
  mosquitto_message_callback_set(mosq_, OnMessage);
  runtime_ = std::move(runtime);
  network_ = std::thread([this] { NetworkLoop(); });
  publisher_ = std::thread([this] { PublishLoop(); });
  return true;
}

std::shared_ptr<Runtime> MqttClient::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  return runtime_;
}

void MqttClient::SetRuntime(std::shared_ptr<Runtime> runtime) {
  std::shared_ptr<Runtime> earlier;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    earlier = runtime_;
    if (!earlier_) earlier_ = earlier;
    runtime_ = std::move(runtime);
  }
  earlier->cache().Changed();  // the publisher waits on it
}

void MqttClient::Stop() {
  std::shared_ptr<Runtime> runtime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_ || !mosq_) return;
    stop_ = true;
    runtime = runtime_;
  }
  stopCv_.notify_all();
  if (runtime) runtime->cache().Changed();
  if (publisher_.joinable()) publisher_.join();
  if (network_.joinable()) network_.join();
}

void MqttClient::NetworkLoop() {
  double backoff = 1;
  bool first = true;
  bool wasConnected = false;
  std::string lastFailure;
  auto pause = [&](double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopCv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stop_; });
  };
  auto failed = [&](const std::string &why) {
    if (wasConnected) {
      Log("mqtt: connection to %s lost: %s; reconnecting", Broker(config_).c_str(), why.c_str());
    } else if (why != lastFailure) {
      Log("mqtt: cannot connect to %s: %s; trying again, at most every %.0f s", Broker(config_).c_str(),
          why.c_str(), config_.reconnectMax);
    }
    lastFailure = why;
    wasConnected = false;
  };
  for (;;) {
    bool stopping, connected;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = stop_;
      connected = connected_;
    }
    if (stopping) break;
    if (mosquitto_socket(mosq_) < 0) {
      const int rc =
          first ? mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive)
                : mosquitto_reconnect_async(mosq_);
      first = false;
      if (rc != MOSQ_ERR_SUCCESS) {
        failed(Reason(rc));
        pause(backoff);
        backoff = std::min(2 * backoff, config_.reconnectMax);
        continue;
      }
    }
    const int rc = mosquitto_loop(mosq_, 200, 1);
    if (rc == MOSQ_ERR_SUCCESS) {
      if (connected) {
        backoff = 1;
        wasConnected = true;
        lastFailure.clear();
      }
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = false;
    }
    failed(Reason(rc));
    pause(backoff);
    backoff = std::min(2 * backoff, config_.reconnectMax);
  }

  // Stopping: every availability goes offline, then an orderly disconnect
  // (so that the broker does not publish the will as well).
  bool connected;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected = connected_;
  }
  if (!connected) return;
  if (std::shared_ptr<Runtime> runtime = Current())
    for (const ControllerConfig &c : runtime->config().controllers)
      Publish({Topic(c.name, "availability"), "offline", true});
  Publish({config_.prefix + "/availability", "offline", true});
  mosquitto_disconnect(mosq_);
  const double until = Now() + 3;
  while (Now() < until && mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS) {
  }
  Log("mqtt: disconnected from %s", Broker(config_).c_str());
}

void MqttClient::OnConnect(mosquitto *, void *data, int rc) {
  auto *self = static_cast<MqttClient *>(data);
  if (rc != 0) {
    // Said once: the retries meet the same refusal until someone changes the broker or the file.
    if (rc != self->refused_)
      Log("mqtt: %s refused the connection: %s", Broker(self->config_).c_str(),
          Plain(mosquitto_connack_string(rc)).c_str());
    self->refused_ = rc;
    return;
  }
  self->refused_ = 0;
  Log("mqtt: connected to %s as %s", Broker(self->config_).c_str(), self->clientId_.c_str());
  self->Publish({self->config_.prefix + "/availability", "online", true});
  std::shared_ptr<Runtime> runtime;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->connected_ = true;
    self->republish_ = true;
    runtime = self->runtime_;
  }
  self->Subscribe(*runtime, true);
  runtime->cache().Changed();
}

void MqttClient::OnDisconnect(mosquitto *, void *data, int) {
  auto *self = static_cast<MqttClient *>(data);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->connected_ = false;
}

void MqttClient::Subscribe(const Runtime &runtime, bool on) {
  for (const ControllerConfig &c : runtime.config().controllers) {
    const std::string pattern = Topic(c.name, "+/set");
    if (on)
      mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), config_.qos);
    else
      mosquitto_unsubscribe(mosq_, nullptr, pattern.c_str());
  }
}

void MqttClient::Publish(const Message &m) {
  mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(),
                    config_.qos, m.retain);
}

void MqttClient::OnMessage(mosquitto *, void *data, const mosquitto_message *message) {
  auto *self = static_cast<MqttClient *>(data);
  const std::string topic = message->topic;
  if (message->retain) {
    // A retained write would be done again at every reconnect: never.
    if (message->payloadlen > 0)
      self->Publish({topic + "/result",
                     "{\"ok\":false,\"error\":\"a retained write is not done: publish writes without retain "
                     "(and clear this one with an empty retained message)\"}",
                     false});
    return;
  }
  std::string payload(static_cast<const char *>(message->payload),
                      static_cast<std::size_t>(message->payloadlen));
  self->Write(topic, payload);
}

// A write to <prefix>/<controller>/<tag>/set; the result goes to .../set/result.
void MqttClient::Write(const std::string &topic, const std::string &payload) {
  const std::string resultTopic = topic + "/result";
  std::string id;
  auto answer = [this, resultTopic](const std::string &id, bool ok, const std::string &what) {
    std::string json = std::string("{\"ok\":") + (ok ? "true" : "false") + what;
    if (!id.empty()) json += ",\"id\":" + id;
    Publish({resultTopic, json + "}", false});
  };
  std::string error;
  auto parsed = ParseJson(payload, &error);
  const JsonValue *value = parsed ? &*parsed : nullptr;
  if (parsed && parsed->kind == JsonValue::Kind::Object) {
    if (const JsonValue *i = parsed->Member("id")) id = i->raw;
    value = parsed->Member("value");
    if (!value) error = "the object has no \"value\"";
  }
  if (!value) return answer(id, false, ",\"error\":" + JsonString("payload is not JSON: " + error));

  std::shared_ptr<Runtime> runtime = Current();
  const std::string prefix = config_.prefix + "/";
  if (topic.size() < prefix.size() + 4 || topic.compare(0, prefix.size(), prefix) != 0) return;
  const std::string rest = topic.substr(prefix.size(), topic.size() - prefix.size() - 4);  // controller/tag
  const std::size_t slash = rest.find('/');
  int controller = -1, tag = -1;
  const auto &controllers = runtime->config().controllers;
  for (std::size_t c = 0; c < controllers.size() && slash != std::string::npos; c++) {
    if (controllers[c].name != rest.substr(0, slash)) continue;
    controller = static_cast<int>(c);
    for (std::size_t t = 0; t < controllers[c].tags.size(); t++)
      if (controllers[c].tags[t].name == rest.substr(slash + 1)) tag = static_cast<int>(t);
  }
  if (tag < 0) return answer(id, false, ",\"error\":" + JsonString("no tag " + rest));
  const TagConfig &config =
      controllers[static_cast<std::size_t>(controller)].tags[static_cast<std::size_t>(tag)];
  if (!config.writable) return answer(id, false, ",\"error\":" + JsonString(rest + " is read-only"));
  WriteItem item;
  item.tag = tag;
  item.count = config.count;
  if (!FromJson(config, *value, &item.values, &error))
    return answer(id, false, ",\"error\":" + JsonString(error));
  WriteJob job;
  job.items.push_back(std::move(item));
  job.done = [answer, id, written = value->raw](const WriteResult &r) {
    if (r.outcome == WriteResult::Outcome::Done) return answer(id, true, ",\"value\":" + written);
    answer(id, false, ",\"status\":" + std::to_string(r.status) + ",\"error\":" + JsonString(r.reason));
  };
  runtime->Worker(controller).Submit(std::move(job));
}

void MqttClient::PublishLoop() {
  std::uint64_t seen = 0;
  std::shared_ptr<Runtime> runtime = Current();
  for (;;) {
    std::shared_ptr<Runtime> earlier;
    bool stopping, connected, full;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = stop_;
      connected = connected_;
      full = republish_;
      republish_ = false;
      earlier.swap(earlier_);
      runtime = runtime_;
    }
    if (stopping) return;
    if (earlier) {
      if (connected) Swapped(*earlier, *runtime);
      full = true;
    }
    if (connected) Scan(*runtime, full);
    runtime->cache().WaitChange(&seen, Now() + 1);
  }
}

void MqttClient::Swapped(Runtime &earlier, Runtime &now) {
  Subscribe(earlier, false);
  Subscribe(now, true);
  // Retained topics of tags and controllers that are gone are removed.
  for (const ControllerConfig &c : earlier.config().controllers) {
    const ControllerConfig *kept = nullptr;
    for (const ControllerConfig &n : now.config().controllers)
      if (n.name == c.name) kept = &n;
    if (!kept) {
      Publish({Topic(c.name, "availability"), "", true});
      Publish({Topic(c.name, "status"), "", true});
    }
    for (const TagConfig &t : c.tags) {
      bool there = false;
      if (kept)
        for (const TagConfig &n : kept->tags) there = there || n.name == t.name;
      if (!there) Publish({Topic(c.name, t.name), "", true});
    }
  }
}

void MqttClient::Scan(Runtime &runtime, bool full) {
  const Config &config = runtime.config();
  if (full || tagsSeen_.size() != config.controllers.size()) {
    tagsSeen_.assign(config.controllers.size(), {});
    controllersSeen_.assign(config.controllers.size(), {});
    for (std::size_t c = 0; c < config.controllers.size(); c++)
      tagsSeen_[c].resize(config.controllers[c].tags.size());
  }
  const double now = Now();
  const bool intervals = config_.maxInterval > 0;
  std::vector<Message> out;
  for (std::size_t c = 0; c < config.controllers.size(); c++) {
    const ControllerConfig &controller = config.controllers[c];
    ControllerCache &cache = runtime.cache().Controller(static_cast<int>(c));
    ControllerSeen &cseen = controllersSeen_[c];
    std::lock_guard<std::mutex> lock(cache.mutex);
    const ControllerStatus &s = cache.status;
    const bool changed = s.version != cseen.version && s.state != LinkState::Starting;
    if (changed ||
        (intervals && cseen.version != ~std::uint64_t{0} && now - cseen.publishedAt >= config_.maxInterval)) {
      if (changed)
        out.push_back(
            {Topic(controller.name, "availability"), s.state == LinkState::Online ? "online" : "offline"});
      std::string json = "{\"state\":" + JsonString(LinkStateName(s.state)) +
                         ",\"since\":" + TimeJson(s.since) + ",\"port\":" + JsonString(PortName(controller)) +
                         ",\"family\":" + JsonString(controller.family == operands::Family::Fx ? "fx" : "a") +
                         ",\"status\":" + std::to_string(s.status) + ",\"reason\":" + JsonString(s.reason) +
                         ",\"transfers\":" + std::to_string(s.transfers) +
                         ",\"failures\":" + std::to_string(s.failures);
      if (s.lastFailure)
        json += ",\"last_failure\":{\"status\":" + std::to_string(s.lastFailure) +
                ",\"reason\":" + JsonString(s.lastReason) + ",\"ts\":" + TimeJson(s.lastFailureAt) + "}";
      out.push_back({Topic(controller.name, "status"), json + "}"});
      cseen.version = s.version;
      cseen.publishedAt = now;
    }
    for (std::size_t t = 0; t < controller.tags.size(); t++) {
      const TagConfig &tag = controller.tags[t];
      const GroupConfig &group = config.groups[static_cast<std::size_t>(tag.group)];
      const TagValue &v = cache.tags[t];
      TagSeen &seen = tagsSeen_[c][t];
      const Quality q = Cache::QualityOf(cache, static_cast<int>(t), group.maxAge, now);
      if (q == Quality::None) continue;  // nothing known yet
      bool publish = !seen.published || q != seen.quality ||
                     (intervals && now - seen.publishedAt >= config_.maxInterval);
      if (!publish && v.valid && v.version != seen.version) {
        // Changed: by at least the deadband, for numbers.
        if (group.deadband <= 0 || tag.type == ValueType::Bool) {
          publish = v.bytes != seen.bytes;
        } else {
          for (int i = 0; i < tag.count && !publish; i++) {
            const double a = ElementNumber(tag, v.bytes.data(), i),
                         b = ElementNumber(tag, seen.bytes.data(), i);
            publish = std::isnan(a) != std::isnan(b) || std::fabs(a - b) >= group.deadband;
          }
        }
        seen.version = v.version;
      }
      if (!publish) continue;
      const std::string value = v.valid ? ValueJson(tag, v.bytes.data()) : "null";
      out.push_back({Topic(controller.name, tag.name),
                     "{\"value\":" + value + ",\"quality\":" + JsonString(QualityName(q)) +
                         ",\"ts\":" + TimeJson(v.valid ? v.wallAt : 0) + "}"});
      seen.published = true;
      seen.quality = q;
      seen.version = v.version;
      seen.bytes = v.bytes;
      seen.publishedAt = now;
    }
  }
  for (const Message &m : out) Publish(m);
}

}  // namespace velgw
