#include "modbus_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "clock.h"
#include "log.h"
#include "values.h"

namespace velgw {

namespace {

constexpr int kHeader = 7;  // transaction, protocol, length, unit
constexpr std::size_t kMaxBuffered = 4096;
constexpr int kClientLines = 20;
constexpr double kClientWindow = 10;

int Word(const std::vector<std::uint8_t> &adu, std::size_t at) {
  return adu[at] << 8 | adu[at + 1];
}

std::string SocketName(const sockaddr *sa) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (sa->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
  inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
  port = ntohs(in6->sin6_port);
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

Table TableOf(int function) {
  switch (function) {
  case MODBUS_FC_READ_COILS:
  case MODBUS_FC_WRITE_SINGLE_COIL:
  case MODBUS_FC_WRITE_MULTIPLE_COILS:
    return Table::Coils;
  case MODBUS_FC_READ_DISCRETE_INPUTS:
    return Table::DiscreteInputs;
  case MODBUS_FC_READ_INPUT_REGISTERS:
    return Table::InputRegisters;
  default:
    return Table::HoldingRegisters;
  }
}

}  // namespace

ModbusServer::ModbusServer() {
  // The answers' buffers: every address of every table, as libmodbus
  // answers from a mapping.
  scratch_ = modbus_mapping_new(65536, 65536, 65536, 65536);
  ctx_ = modbus_new_tcp_pi(nullptr, "502");
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ModbusServer::~ModbusServer() {
  Stop();
  if (listen_ >= 0) close(listen_);
  if (wake_ >= 0) close(wake_);
  if (ctx_) {
    modbus_set_socket(ctx_, -1);
    modbus_free(ctx_);
  }
  if (scratch_) modbus_mapping_free(scratch_);
}

bool ModbusServer::Listen(const ModbusConfig &config, std::string *error) {
  if (!ctx_ || !scratch_ || wake_ < 0) {
    *error = std::string("cannot set up the server: ") + std::strerror(errno);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  const char *host = config.host.empty() ? nullptr : config.host.c_str();
  int rc = getaddrinfo(host, config.port.c_str(), &hints, &found);
  const std::string shown = (config.host.empty() ? "*" : config.host) + ":" + config.port;
  if (rc != 0) {
    *error = "cannot listen on " + shown + ": " + gai_strerror(rc);
    return false;
  }
  std::string why = "no address";
  for (addrinfo *ai = found; ai; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 64) != 0) {
      why = std::strerror(errno);
      close(fd);
      continue;
    }
    listen_ = fd;
    break;
  }
  freeaddrinfo(found);
  if (listen_ < 0) {
    *error = "cannot listen on " + shown + ": " + why;
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listen_, reinterpret_cast<sockaddr *>(&bound), &length);
  address_ = SocketName(reinterpret_cast<sockaddr *>(&bound));
  return true;
}

void ModbusServer::Start(std::shared_ptr<Runtime> runtime) {
  SetRuntime(std::move(runtime));
  thread_ = std::thread([this] { Run(); });
}

void ModbusServer::SetRuntime(std::shared_ptr<Runtime> runtime) {
  std::lock_guard<std::mutex> lock(mutex_);
  runtime_ = std::move(runtime);
}

void ModbusServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
}

void ModbusServer::Wake() {
  const std::uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) {
    // The counter is full: the thread is awake anyway.
  }
}

void ModbusServer::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    std::shared_ptr<Runtime> runtime;
    std::vector<Completion> done;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      runtime = runtime_;
      done.swap(completions_);
      stop = stop_;
    }
    const ModbusConfig &config = runtime->config().modbus;
    // Writes that ended: their answers, then what those clients sent meanwhile.
    for (Completion &c : done) {
      for (auto &client : clients_) {
        if (client->id != c.client || client->gone) continue;
        switch (c.result.outcome) {
        case WriteResult::Outcome::Done:
          Reply(*client, c.request);
          break;
        case WriteResult::Outcome::Failed:
          Exception(*client, c.request, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
          break;
        default:
          Exception(*client, c.request, MODBUS_EXCEPTION_GATEWAY_TARGET);
        }
        client->waiting = false;
        if (!stop) Serve(*client, *runtime);
      }
    }
    if (stop) {
      Finish(*runtime);
      return;
    }
    const double now = Now();
    if (eventsSuppressed_ && now - eventWindow_ >= kClientWindow) ClientEventsSummary(now);
    for (auto &client : clients_) {
      if (!client->gone && !client->waiting && now - client->lastRequest > config.idleTimeout) {
        char why[64];
        std::snprintf(why, sizeof why, "idle for %.0f s", config.idleTimeout);
        Drop(*client, why);
      }
    }
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](auto &c) { return c->gone; }),
                   clients_.end());

    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({listen_, POLLIN, 0});
    double nextIdle = now + 1;
    for (auto &client : clients_) {
      fds.push_back({client->fd, static_cast<short>(client->waiting ? 0 : POLLIN), 0});
      if (!client->waiting) nextIdle = std::min(nextIdle, client->lastRequest + config.idleTimeout);
    }
    const int timeout = std::max(0, static_cast<int>(std::ceil((nextIdle - now) * 1000)));
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      Log("modbus: poll failed: %s", std::strerror(errno));
      continue;
    }
    if (fds[0].revents) {
      std::uint64_t count;
      if (read(wake_, &count, sizeof count) < 0) {
        // Nothing to take: another wake-up was faster.
      }
    }
    // Clients first (their entries line up with fds), then new ones.
    const std::size_t served = clients_.size();
    for (std::size_t i = 0; i < served; i++) {
      Client &client = *clients_[i];
      const short revents = fds[i + 2].revents;
      if (revents & POLLIN) {
        Receive(client, *runtime);
      } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        Drop(client, "connection lost");
      }
    }
    if (fds[1].revents & POLLIN) Accept(*runtime);
  }
}

void ModbusServer::Accept(const Runtime &runtime) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(listen_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Log("modbus: accept failed: %s", std::strerror(errno));
      return;
    }
    const std::string name = SocketName(reinterpret_cast<sockaddr *>(&peer));
    const int max = runtime.config().modbus.maxClients;
    if (static_cast<int>(clients_.size()) >= max) {
      ClientEvent("client " + name + " refused: " + std::to_string(max) +
                  " clients are connected (max_clients)");
      close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto client = std::make_unique<Client>();
    client->id = nextId_++;
    client->fd = fd;
    client->name = name;
    client->lastRequest = Now();
    clients_.push_back(std::move(client));
    ClientEvent("client " + name + " connected");
  }
}

void ModbusServer::Receive(Client &client, Runtime &runtime) {
  std::uint8_t buffer[2048];
  ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
  if (n == 0) return Drop(client, "disconnected");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return Drop(client, errno == ECONNRESET ? "reset the connection" : std::strerror(errno));
  }
  client.in.insert(client.in.end(), buffer, buffer + n);
  Serve(client, runtime);
  if (!client.gone && client.in.size() > kMaxBuffered)
    Drop(client, "sent too much without waiting for answers");
}

// Answers the complete requests in the client's buffer, until one waits for
// its controller.
void ModbusServer::Serve(Client &client, Runtime &runtime) {
  while (!client.gone && !client.waiting && client.in.size() >= kHeader) {
    const int protocol = Word(client.in, 2), length = Word(client.in, 4);
    if (protocol != 0 || length < 2 || length > 254)
      return Drop(client, "sent something that is not Modbus TCP");
    const std::size_t size = 6 + static_cast<std::size_t>(length);
    if (client.in.size() < size) return;
    std::vector<std::uint8_t> adu(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(size));
    client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(size));
    client.lastRequest = Now();
    Request(client, adu, runtime);
  }
}

void ModbusServer::Request(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime) {
  const int controller = runtime.map().ControllerOfUnit(adu[6]);
  if (controller < 0) return Exception(client, adu, MODBUS_EXCEPTION_GATEWAY_PATH);
  switch (adu[7]) {
  case MODBUS_FC_READ_COILS:
  case MODBUS_FC_READ_DISCRETE_INPUTS:
  case MODBUS_FC_READ_HOLDING_REGISTERS:
  case MODBUS_FC_READ_INPUT_REGISTERS:
    return Read(client, adu, runtime, controller);
  case MODBUS_FC_WRITE_SINGLE_COIL:
  case MODBUS_FC_WRITE_SINGLE_REGISTER:
  case MODBUS_FC_WRITE_MULTIPLE_COILS:
  case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
    return Write(client, adu, runtime, controller);
  default:
    return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  }
}

void ModbusServer::Read(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime,
                        int controller) {
  const int function = adu[7];
  if (adu.size() != kHeader + 5) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const int address = Word(adu, 8), count = Word(adu, 10);
  const Table table = TableOf(function);
  const bool bits = table == Table::Coils || table == Table::DiscreteInputs;
  if (count < 1 || count > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS))
    return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  if (address + count > 65536) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);

  const ControllerConfig &config = runtime.config().controllers[static_cast<std::size_t>(controller)];
  ControllerCache &cache = runtime.cache().Controller(controller);
  const double now = Now();
  int exception = 0;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (int a = address; a < address + count && !exception;) {
      const MappedRange *range = runtime.map().Find(controller, table, a);
      if (!range) {
        exception = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        break;
      }
      const TagConfig &tag = config.tags[static_cast<std::size_t>(range->tag)];
      const double maxAge = runtime.config().groups[static_cast<std::size_t>(tag.group)].maxAge;
      if (Cache::QualityOf(cache, range->tag, maxAge, now) != Quality::Good) {
        exception = MODBUS_EXCEPTION_GATEWAY_TARGET;
        break;
      }
      const std::uint8_t *bytes = cache.tags[static_cast<std::size_t>(range->tag)].bytes.data();
      const int per = TypeRegisters(tag.type);
      const int end = std::min(address + count - 1, range->last);
      for (; a <= end; a++) {
        const int element = (a - range->first) / per, word = (a - range->first) % per;
        std::uint16_t registers[2];
        ElementRegisters(tag, bytes, element, registers);
        switch (table) {
        case Table::Coils:
          scratch_->tab_bits[a] = static_cast<std::uint8_t>(registers[0]);
          break;
        case Table::DiscreteInputs:
          scratch_->tab_input_bits[a] = static_cast<std::uint8_t>(registers[0]);
          break;
        case Table::InputRegisters:
          scratch_->tab_input_registers[a] = registers[word];
          break;
        default:
          scratch_->tab_registers[a] = registers[word];
        }
      }
    }
  }
  if (exception) return Exception(client, adu, exception);
  Reply(client, adu);
}

void ModbusServer::Write(Client &client, const std::vector<std::uint8_t> &adu, Runtime &runtime,
                         int controller) {
  const int function = adu[7];
  const Table table = TableOf(function);
  const bool single = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
  if (adu.size() < kHeader + 5) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const int address = Word(adu, 8);
  int count = 1;
  std::vector<std::uint16_t> values;  // registers, or 0/1 per coil
  if (single) {
    if (adu.size() != kHeader + 5) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    const int value = Word(adu, 10);
    if (function == MODBUS_FC_WRITE_SINGLE_COIL) {
      if (value != 0xFF00 && value != 0) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
      values.push_back(value ? 1 : 0);
    } else {
      values.push_back(static_cast<std::uint16_t>(value));
    }
  } else {
    if (adu.size() < kHeader + 6) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    count = Word(adu, 10);
    const std::size_t byteCount = adu[12];
    const bool coils = function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    const int max = coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
    const std::size_t need =
        coils ? static_cast<std::size_t>((count + 7) / 8) : static_cast<std::size_t>(2 * count);
    if (count < 1 || count > max || byteCount != need || adu.size() != kHeader + 6 + byteCount)
      return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    for (int i = 0; i < count; i++) {
      if (coils)
        values.push_back((adu[13 + static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1);
      else
        values.push_back(static_cast<std::uint16_t>(Word(adu, 13 + 2 * static_cast<std::size_t>(i))));
    }
  }
  if (address + count > 65536) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);

  // Whole elements of writable tags, one item per tag.
  const ControllerConfig &config = runtime.config().controllers[static_cast<std::size_t>(controller)];
  WriteJob job;
  for (int a = address; a < address + count;) {
    const MappedRange *range = runtime.map().Find(controller, table, a);
    if (!range) return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    const TagConfig &tag = config.tags[static_cast<std::size_t>(range->tag)];
    const int per = TypeRegisters(tag.type);
    const int end = std::min(address + count - 1, range->last);
    if (!tag.writable || (a - range->first) % per != 0 || (end - range->first + 1) % per != 0)
      return Exception(client, adu, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    WriteItem item;
    item.tag = range->tag;
    item.first = (a - range->first) / per;
    item.count = (end - a + 1) / per;
    const std::uint16_t *from = values.data() + (a - address);
    if (tag.type == ValueType::Bool) {
      for (int i = 0; i < item.count; i++) item.values.push_back(static_cast<std::uint8_t>(from[i]));
    } else {
      item.values = FromRegisters(tag, from, item.count);
    }
    job.items.push_back(std::move(item));
    a = end + 1;
  }
  {
    ControllerCache &cache = runtime.cache().Controller(controller);
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.status.state == LinkState::Offline)
      return Exception(client, adu, MODBUS_EXCEPTION_GATEWAY_TARGET);
  }
  client.waiting = true;
  job.done = [this, id = client.id, adu](const WriteResult &result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      completions_.push_back({id, adu, result});
    }
    Wake();
  };
  runtime.Worker(controller).Submit(std::move(job));
}

void ModbusServer::Reply(Client &client, const std::vector<std::uint8_t> &adu) {
  modbus_set_socket(ctx_, client.fd);
  if (modbus_reply(ctx_, adu.data(), static_cast<int>(adu.size()), scratch_) < 0)
    Drop(client, "does not take its answers");
}

void ModbusServer::Exception(Client &client, const std::vector<std::uint8_t> &adu, int code) {
  modbus_set_socket(ctx_, client.fd);
  if (modbus_reply_exception(ctx_, adu.data(), static_cast<unsigned>(code)) < 0)
    Drop(client, "does not take its answers");
}

void ModbusServer::Drop(Client &client, const char *why) {
  if (client.gone) return;
  client.gone = true;
  close(client.fd);
  client.fd = -1;
  ClientEvent("client " + client.name + " " + (std::strcmp(why, "disconnected") == 0 ? "" : "dropped: ") +
              why);
}

void ModbusServer::ClientEvent(const std::string &text) {
  const double now = Now();
  if (now - eventWindow_ >= kClientWindow) ClientEventsSummary(now);
  if (eventsLogged_ < kClientLines) {
    eventsLogged_++;
    Log("modbus: %s", text.c_str());
  } else {
    eventsSuppressed_++;
  }
}

void ModbusServer::ClientEventsSummary(double now) {
  if (eventsSuppressed_)
    Log("modbus: %d more client connections and disconnections in %.0f s", eventsSuppressed_,
        now - eventWindow_);
  eventWindow_ = now;
  eventsLogged_ = eventsSuppressed_ = 0;
}

void ModbusServer::Finish(Runtime &) {
  for (auto &client : clients_)
    if (!client->gone) {
      close(client->fd);
      client->gone = true;
    }
  clients_.clear();
}

}  // namespace velgw
