#include "config.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "device_address.h"

namespace velgw {

namespace {

constexpr int kPorts = 16;
constexpr const char *kDefaultGroup = "default";

std::string Quote(std::string_view s) {
  return "'" + std::string(s) + "'";
}

std::string Number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// A name that can be a topic level and a log word: letters, digits, _ - .
bool PlainName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Splits HOST:PORT; HOST may be empty, "*" or a bracketed IPv6 address.
bool SplitHostPort(std::string_view text, std::string *host, std::string *port) {
  std::size_t colon;
  if (!text.empty() && text[0] == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    *host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    *host = std::string(text.substr(0, colon));
    if (host->find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  *port = std::string(text.substr(colon + 1));
  if (port->empty() || port->size() > 5) return false;
  for (char c : *port)
    if (c < '0' || c > '9') return false;
  return std::stoi(*port) <= 65535;
}

class Loader {
 public:
  Loader(std::string name, std::vector<std::string> *errors) : name_(std::move(name)), errors_(errors) {}

  std::optional<Config> Load(std::string_view text);

 private:
  void Error(const toml::node *node, int fallbackLine, const std::string &what) {
    int line = node ? static_cast<int>(node->source().begin.line) : 0;
    Error(line ? line : fallbackLine, what);
  }
  void Error(int line, const std::string &what) {
    errors_->push_back(name_ + ":" + std::to_string(line > 0 ? line : 1) + ": " + what);
  }
  static int LineOf(const toml::node &node) {
    return static_cast<int>(node.source().begin.line);
  }

  // Every key of the table must be one of `known`.
  void OnlyKnown(const toml::table &table, std::initializer_list<std::string_view> known,
                 const std::string &where);
  const toml::table *Section(const toml::table &table, std::string_view key, const std::string &where);

  std::optional<std::string> String(const toml::table &t, std::string_view key, const std::string &where,
                                    int line);
  std::optional<std::int64_t> Integer(const toml::table &t, std::string_view key, std::int64_t min,
                                      std::int64_t max, const std::string &where, int line);
  std::optional<double> Real(const toml::table &t, std::string_view key, double min, double max,
                             const std::string &where, int line);
  std::optional<bool> Boolean(const toml::table &t, std::string_view key, const std::string &where, int line);
  // One of the words; its index.
  std::optional<int> Choice(const toml::table &t, std::string_view key,
                            std::initializer_list<std::string_view> words, const std::string &where,
                            int line);

  void LoadGateway(const toml::table &t, GatewayConfig *gateway);
  void LoadModbus(const toml::table &t, ModbusConfig *modbus);
  void LoadMqtt(const toml::table &t, MqttConfig *mqtt);
  void LoadGroups(const toml::table &t, std::vector<GroupConfig> *groups);
  void LoadController(std::string_view name, const toml::table &t, Config *config);
  void LoadTag(const toml::table &t, ControllerConfig *controller, const Config &config,
               std::map<std::string, int> *groupIndex, std::vector<GroupConfig> *groups);
  void AssignPorts(Config *config);
  void CheckModbusRanges(const Config &config);

  std::string name_;
  std::vector<std::string> *errors_;
};

void Loader::OnlyKnown(const toml::table &table, std::initializer_list<std::string_view> known,
                       const std::string &where) {
  for (auto &&[key, node] : table) {
    if (std::find(known.begin(), known.end(), key.str()) != known.end()) continue;
    std::string list;
    for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    Error(
        static_cast<int>(key.source().begin.line) ? static_cast<int>(key.source().begin.line) : LineOf(node),
        "unknown key " + Quote(key.str()) + " in " + where + " (known: " + list + ")");
  }
}

const toml::table *Loader::Section(const toml::table &table, std::string_view key, const std::string &where) {
  const toml::node *node = table.get(key);
  if (!node) return nullptr;
  if (!node->is_table()) {
    Error(node, 0, where + " must be a table ([" + std::string(key) + "])");
    return nullptr;
  }
  return node->as_table();
}

std::optional<std::string> Loader::String(const toml::table &t, std::string_view key,
                                          const std::string &where, int line) {
  const toml::node *node = t.get(key);
  if (!node) return std::nullopt;
  if (!node->is_string()) {
    Error(node, line, where + ": " + std::string(key) + " must be a string in quotes");
    return std::nullopt;
  }
  return node->as_string()->get();
}

std::optional<std::int64_t> Loader::Integer(const toml::table &t, std::string_view key, std::int64_t min,
                                            std::int64_t max, const std::string &where, int line) {
  const toml::node *node = t.get(key);
  if (!node) return std::nullopt;
  if (!node->is_integer()) {
    Error(node, line, where + ": " + std::string(key) + " must be a whole number");
    return std::nullopt;
  }
  std::int64_t v = node->as_integer()->get();
  if (v < min || v > max) {
    Error(node, line,
          where + ": " + std::string(key) + " = " + std::to_string(v) + " is outside " + std::to_string(min) +
              ".." + std::to_string(max));
    return std::nullopt;
  }
  return v;
}

std::optional<double> Loader::Real(const toml::table &t, std::string_view key, double min, double max,
                                   const std::string &where, int line) {
  const toml::node *node = t.get(key);
  if (!node) return std::nullopt;
  double v;
  if (node->is_integer()) {
    v = static_cast<double>(node->as_integer()->get());
  } else if (node->is_floating_point()) {
    v = node->as_floating_point()->get();
  } else {
    Error(node, line, where + ": " + std::string(key) + " must be a number");
    return std::nullopt;
  }
  if (!std::isfinite(v) || v < min || v > max) {
    Error(node, line,
          where + ": " + std::string(key) + " = " + Number(v) + " is outside " + Number(min) + ".." +
              Number(max));
    return std::nullopt;
  }
  return v;
}

std::optional<bool> Loader::Boolean(const toml::table &t, std::string_view key, const std::string &where,
                                    int line) {
  const toml::node *node = t.get(key);
  if (!node) return std::nullopt;
  if (!node->is_boolean()) {
    Error(node, line, where + ": " + std::string(key) + " must be true or false");
    return std::nullopt;
  }
  return node->as_boolean()->get();
}

std::optional<int> Loader::Choice(const toml::table &t, std::string_view key,
                                  std::initializer_list<std::string_view> words, const std::string &where,
                                  int line) {
  auto text = String(t, key, where, line);
  if (!text) return std::nullopt;
  int i = 0;
  for (std::string_view w : words) {
    if (*text == w) return i;
    i++;
  }
  std::string list;
  for (std::string_view w : words) list += (list.empty() ? "" : ", ") + Quote(w);
  Error(t.get(key), line, where + ": " + std::string(key) + " = " + Quote(*text) + " is not one of " + list);
  return std::nullopt;
}

void Loader::LoadGateway(const toml::table &t, GatewayConfig *gateway) {
  const std::string where = "[gateway]";
  const int line = LineOf(t);
  OnlyKnown(t, {"failures", "backoff", "backoff_max"}, where);
  if (auto v = Integer(t, "failures", 1, 1000, where, line)) gateway->failures = static_cast<int>(*v);
  if (auto v = Real(t, "backoff", 0.1, 86400, where, line)) gateway->backoff = *v;
  if (auto v = Real(t, "backoff_max", 0.1, 86400, where, line)) gateway->backoffMax = *v;
  if (gateway->backoffMax < gateway->backoff)
    Error(t.get("backoff_max"), line,
          where + ": backoff_max (" + Number(gateway->backoffMax) + " s) is shorter than backoff (" +
              Number(gateway->backoff) + " s)");
}

void Loader::LoadModbus(const toml::table &t, ModbusConfig *modbus) {
  const std::string where = "[modbus]";
  const int line = LineOf(t);
  modbus->enabled = true;
  OnlyKnown(t, {"listen", "max_clients", "idle_timeout"}, where);
  if (auto listen = String(t, "listen", where, line)) {
    std::string host, port;
    if (!SplitHostPort(*listen, &host, &port)) {
      Error(t.get("listen"), line,
            where + ": listen = " + Quote(*listen) +
                " is not HOST:PORT (127.0.0.1:502, [::1]:502, or *:502 for every address)");
    } else {
      modbus->host = host == "*" ? "" : host;
      modbus->port = port;
    }
  }
  if (auto v = Integer(t, "max_clients", 1, 1000, where, line)) modbus->maxClients = static_cast<int>(*v);
  if (auto v = Real(t, "idle_timeout", 1, 86400, where, line)) modbus->idleTimeout = *v;
}

void Loader::LoadMqtt(const toml::table &t, MqttConfig *mqtt) {
  const std::string where = "[mqtt]";
  const int line = LineOf(t);
  mqtt->enabled = true;
  OnlyKnown(t,
            {"broker", "client_id", "prefix", "qos", "username", "password", "keepalive", "max_interval",
             "reconnect_max", "tls"},
            where);
  if (auto broker = String(t, "broker", where, line)) {
    std::string host, port;
    std::string text = *broker;
    if (text.find(':') == std::string::npos || (text[0] == '[' && text.back() == ']')) text += ":1883";
    if (!SplitHostPort(text, &host, &port) || host.empty() || host == "*" || std::stoi(port) == 0) {
      Error(t.get("broker"), line,
            where + ": broker = " + Quote(*broker) + " is not HOST or HOST:PORT (127.0.0.1:1883)");
    } else {
      mqtt->host = host;
      mqtt->port = std::stoi(port);
    }
  } else {
    Error(line, where + ": broker is missing (broker = \"HOST:PORT\")");
  }
  if (auto id = String(t, "client_id", where, line)) {
    if (id->empty() || id->size() > 128)
      Error(t.get("client_id"), line, where + ": client_id must have 1..128 characters");
    else
      mqtt->clientId = *id;
  }
  if (auto prefix = String(t, "prefix", where, line)) {
    bool ok = !prefix->empty() && prefix->front() != '/' && prefix->back() != '/' &&
              prefix->find("//") == std::string::npos && prefix->find_first_of("+#") == std::string::npos;
    if (!ok)
      Error(t.get("prefix"), line,
            where + ": prefix = " + Quote(*prefix) +
                " must be topic levels without + or #, empty levels, or a leading or trailing /");
    else
      mqtt->prefix = *prefix;
  }
  if (auto v = Integer(t, "qos", 0, 2, where, line)) mqtt->qos = static_cast<int>(*v);
  mqtt->username = String(t, "username", where, line);
  mqtt->password = String(t, "password", where, line);
  if (mqtt->password && !mqtt->username)
    Error(t.get("password"), line, where + ": a password needs a username");
  if (auto v = Integer(t, "keepalive", 5, 65535, where, line)) mqtt->keepalive = static_cast<int>(*v);
  if (auto v = Real(t, "max_interval", 0, 86400, where, line)) mqtt->maxInterval = *v;
  if (auto v = Real(t, "reconnect_max", 1, 3600, where, line)) mqtt->reconnectMax = *v;
  if (const toml::table *tls = Section(t, "tls", "[mqtt.tls]")) {
    const std::string tw = "[mqtt.tls]";
    const int tl = LineOf(*tls) ? LineOf(*tls) : line;
    OnlyKnown(*tls, {"ca_file", "ca_path", "cert_file", "key_file", "insecure"}, tw);
    mqtt->tls.enabled = true;
    auto file = [&](std::string_view key, std::string *out) {
      if (auto f = String(*tls, key, tw, tl)) {
        // Relative to the configuration file's folder.
        const std::size_t slash = name_.rfind('/');
        if (!f->empty() && f->front() != '/' && slash != std::string::npos)
          *f = name_.substr(0, slash + 1) + *f;
        if (access(f->c_str(), R_OK) != 0)
          Error(tls->get(key), tl,
                tw + ": " + std::string(key) + " " + Quote(*f) + ": " + std::strerror(errno));
        *out = *f;
      }
    };
    file("ca_file", &mqtt->tls.caFile);
    file("ca_path", &mqtt->tls.caPath);
    file("cert_file", &mqtt->tls.certFile);
    file("key_file", &mqtt->tls.keyFile);
    if (auto v = Boolean(*tls, "insecure", tw, tl)) mqtt->tls.insecure = *v;
    if (mqtt->tls.caFile.empty() && mqtt->tls.caPath.empty())
      Error(tl, tw + ": ca_file or ca_path is needed to check the broker's certificate");
    if (mqtt->tls.certFile.empty() != mqtt->tls.keyFile.empty())
      Error(tl, tw + ": cert_file and key_file go together");
  }
}

void Loader::LoadGroups(const toml::table &t, std::vector<GroupConfig> *groups) {
  for (auto &&[key, node] : t) {
    const std::string where = "[groups." + std::string(key.str()) + "]";
    const int line = static_cast<int>(key.source().begin.line);
    if (!node.is_table()) {
      Error(&node, line, where + " must be a table");
      continue;
    }
    if (!PlainName(key.str())) Error(line, where + ": a group's name is letters, digits, _ - and .");
    const toml::table &g = *node.as_table();
    OnlyKnown(g, {"interval", "max_age", "deadband"}, where);
    GroupConfig group;
    group.name = std::string(key.str());
    group.line = line;
    if (auto v = Real(g, "interval", 0.01, 86400, where, line)) group.interval = *v;
    group.maxAge = std::max(3 * group.interval, 2.0);
    if (auto v = Real(g, "max_age", 0.01, 864000, where, line)) {
      group.maxAge = *v;
      if (*v < group.interval)
        Error(g.get("max_age"), line,
              where + ": max_age (" + Number(*v) + " s) is shorter than the interval (" +
                  Number(group.interval) + " s): every value would be stale between two scans");
    }
    if (auto v = Real(g, "deadband", 0, 1e30, where, line)) group.deadband = *v;
    groups->push_back(group);
  }
}

// The type a tag has when none is given.
ValueType DefaultType(const operands::Operand &op) {
  switch (op.kind) {
  case operands::Kind::Bit:
    return ValueType::Bool;
  case operands::Kind::Long:
    return ValueType::U32;
  default:
    return ValueType::U16;
  }
}

void Loader::LoadTag(const toml::table &t, ControllerConfig *controller, const Config &config,
                     std::map<std::string, int> *groupIndex, std::vector<GroupConfig> *groups) {
  const int line = LineOf(t);
  std::string where = "tag of controller " + Quote(controller->name);
  OnlyKnown(t,
            {"name", "address", "type", "count", "access", "group", "word_order", "holding", "input", "coil",
             "discrete"},
            where);
  TagConfig tag;
  tag.line = line;
  bool ok = true;
  auto name = String(t, "name", where, line);
  if (!name) {
    if (!t.get("name")) Error(line, where + ": name is missing");
    ok = false;
  } else {
    tag.name = *name;
    where = "tag " + Quote(tag.name) + " of controller " + Quote(controller->name);
    if (!PlainName(tag.name)) {
      Error(t.get("name"), line,
            where + ": a tag's name is letters, digits, _ - and . (it is an MQTT topic level)");
      ok = false;
    } else if (tag.name == "availability" || tag.name == "status") {
      Error(t.get("name"), line,
            where + ": " + Quote(tag.name) + " is the name of the controller's own topic");
      ok = false;
    }
    for (const TagConfig &other : controller->tags) {
      if (other.name == tag.name) {
        Error(t.get("name"), line,
              where + ": the name is taken by the tag on line " + std::to_string(other.line));
        ok = false;
      }
    }
  }

  static const std::initializer_list<std::string_view> kTypes = {"bool", "u16", "i16", "u32", "i32", "f32"};
  std::optional<int> type = Choice(t, "type", kTypes, where, line);
  if (t.get("type") && !type) ok = false;
  auto address = String(t, "address", where, line);
  if (!address) {
    if (!t.get("address")) Error(line, where + ": address is missing");
    return;
  }
  tag.address = *address;
  std::string error;
  bool bits = type ? *type == 0 : false;
  auto op = operands::ParseOperand(*address, controller->family, bits, &error);
  if (op && !type) {
    tag.type = DefaultType(*op);
    if (tag.type == ValueType::Bool) op = operands::ParseOperand(*address, controller->family, true, &error);
  } else if (type) {
    tag.type = static_cast<ValueType>(*type);
  }
  if (!op) {
    Error(t.get("address"), line, where + ": " + error);
    return;
  }
  tag.op = *op;
  if (auto count = Integer(t, "count", 1, 65535, where, line))
    tag.count = static_cast<int>(*count);
  else if (t.get("count"))
    ok = false;

  // The type must fit the device.
  if (tag.type != ValueType::Bool) {
    if (op->kind == operands::Kind::Long && TypeBytes(tag.type) != 4) {
      Error(t.get("type"), line,
            where + ": " + tag.address + " is a 32-bit counter: its type is u32 or i32 (or f32)");
      ok = false;
    }
    if (op->kind == operands::Kind::Bit && operands::BitOf(*op, op->number) != 0) {
      Error(t.get("address"), line,
            where + ": " + tag.address + " is not the first device of a byte: a " + TypeName(tag.type) +
                " of bit devices starts at one (" +
                operands::OperandName(
                    *op, op->number - static_cast<std::uint32_t>(operands::BitOf(*op, op->number))) +
                ")");
      ok = false;
    }
  }
  if (!ok) return;

  // Where it lies.
  const std::uint64_t bytes =
      tag.type == ValueType::Bool
          ? operands::BitBytes(*op, static_cast<std::uint64_t>(tag.count))
          : static_cast<std::uint64_t>(tag.count) * static_cast<std::uint64_t>(TypeBytes(tag.type));
  auto span = operands::SpanOf(*op, bytes, controller->family, false, &error);
  if (!span) {
    Error(t.get("count") ? t.get("count") : t.get("address"), line, where + ": " + error);
    return;
  }
  tag.span = *span;
  tag.bit = tag.type == ValueType::Bool ? operands::BitOf(*op, op->number) : 0;

  if (auto access = Choice(t, "access", {"read", "read-write"}, where, line)) tag.writable = *access == 1;
  if (tag.writable && !op->writable) {
    Error(
        t.get("access"), line,
        where + ": " + tag.address + " is one of the controller's " + op->what + ", which cannot be written");
    return;
  }
  if (auto order = Choice(t, "word_order", {"low_first", "high_first"}, where, line)) {
    if (TypeRegisters(tag.type) != 2)
      Error(t.get("word_order"), line, where + ": word_order applies to the 32-bit types (u32, i32, f32)");
    tag.highWordFirst = *order == 1;
  }

  std::string groupName = kDefaultGroup;
  if (auto g = String(t, "group", where, line)) groupName = *g;
  auto found = groupIndex->find(groupName);
  if (found == groupIndex->end()) {
    if (groupName != kDefaultGroup) {
      std::string known;
      for (const GroupConfig &g : *groups) known += (known.empty() ? "" : ", ") + g.name;
      Error(t.get("group"), line,
            where + ": no scan group " + Quote(groupName) +
                (known.empty() ? std::string(" (no [groups.NAME] is defined)") : " (groups: " + known + ")"));
      return;
    }
    GroupConfig g;  // the implicit default group: every second
    g.name = kDefaultGroup;
    g.maxAge = 3 * g.interval;
    groups->push_back(g);
    found = groupIndex->emplace(groupName, static_cast<int>(groups->size() - 1)).first;
  }
  tag.group = found->second;

  // Modbus: at most one table.
  struct TableKey {
    const char *key;
    Table table;
  };
  static const TableKey kTables[] = {{"holding", Table::HoldingRegisters},
                                     {"input", Table::InputRegisters},
                                     {"coil", Table::Coils},
                                     {"discrete", Table::DiscreteInputs}};
  for (const TableKey &k : kTables) {
    if (!t.get(k.key)) continue;
    auto offset = Integer(t, k.key, 0, 65535, where, line);
    if (!offset) return;
    if (tag.table != Table::None) {
      Error(t.get(k.key), line,
            where + ": a tag is served from one Modbus table (holding, input, coil or discrete)");
      return;
    }
    const bool bitTable = k.table == Table::Coils || k.table == Table::DiscreteInputs;
    if (bitTable != (tag.type == ValueType::Bool)) {
      Error(t.get(k.key), line,
            where + ": a " + TypeName(tag.type) + " tag goes into " +
                (bitTable ? "holding or input registers" : "coils or discrete inputs") + ", not " +
                TableName(k.table));
      return;
    }
    const std::int64_t end = *offset + std::int64_t{tag.count} * TypeRegisters(tag.type);
    if (end > 65536) {
      Error(t.get(k.key), line,
            where + ": " + std::to_string(tag.count * TypeRegisters(tag.type)) + " " + TableName(k.table) +
                " from " + std::to_string(*offset) + " run past 65535");
      return;
    }
    tag.table = k.table;
    tag.offset = static_cast<int>(*offset);
  }
  if (tag.table != Table::None && controller->unit == 0)
    Error(line, where + ": it is served over Modbus, but controller " + Quote(controller->name) +
                    " has no unit (unit = 1..247)");
  (void)config;
  controller->tags.push_back(std::move(tag));
}

void Loader::LoadController(std::string_view name, const toml::table &t, Config *config) {
  const std::string where = "[controllers." + std::string(name) + "]";
  const int line = LineOf(t);
  OnlyKnown(t, {"port", "family", "unit", "fx_areas", "frame_bytes", "tags"}, where);
  ControllerConfig c;
  c.name = std::string(name);
  c.line = line;
  if (!PlainName(name))
    Error(line, where + ": a controller's name is letters, digits, _ - and . (it is an MQTT topic level)");

  if (auto port = String(t, "port", where, line)) {
    c.port = *port;
    const std::string lower = Lower(*port);
    if (lower.rfind("com", 0) == 0) {
      int n = 0;
      bool digits = lower.size() > 3 && lower.size() <= 5;
      for (std::size_t i = 3; digits && i < lower.size(); i++) digits = lower[i] >= '0' && lower[i] <= '9';
      if (digits) n = std::stoi(lower.substr(3));
      if (n < 1 || n > kPorts)
        Error(t.get("port"), line, where + ": port " + Quote(*port) + " is not COM1..COM16");
      c.portNumber = n - 1;
      c.port = "COM" + std::to_string(n);
    } else if (device_address::IsNetwork(*port) || port->front() == '/') {
      std::string why;
      if (!device_address::Check(*port, &why))
        Error(t.get("port"), line, where + ": port " + Quote(*port) + ": " + why);
      c.device = *port;
      c.portNumber = -1;  // assigned below
    } else {
      Error(t.get("port"), line,
            where + ": port " + Quote(*port) +
                " is not COM1..COM16, an absolute device path (/dev/ttyUSB0), tcp://HOST:PORT or "
                "rfc2217://HOST:PORT");
    }
  } else if (!t.get("port")) {
    Error(line,
          where + ": port is missing (COM1..COM16, a device path, tcp://HOST:PORT or rfc2217://HOST:PORT)");
  }

  if (auto family = Choice(t, "family", {"fx", "a"}, where, line))
    c.family = *family == 0 ? operands::Family::Fx : operands::Family::A;
  else if (!t.get("family"))
    Error(line, where + ": family is missing (\"fx\" or \"a\")");

  if (auto unit = Integer(t, "unit", 1, 247, where, line)) c.unit = static_cast<int>(*unit);
  if (auto areas = Choice(t, "fx_areas", {"native", "legacy"}, where, line)) {
    if (c.family != operands::Family::Fx)
      Error(t.get("fx_areas"), line, where + ": fx_areas is for FX controllers");
    c.legacyAreas = *areas == 1;
  }
  if (auto frame = Integer(t, "frame_bytes", 1, 254, where, line)) c.frameBytes = static_cast<int>(*frame);

  std::map<std::string, int> groupIndex;
  for (std::size_t i = 0; i < config->groups.size(); i++)
    groupIndex[config->groups[i].name] = static_cast<int>(i);
  if (const toml::node *tags = t.get("tags")) {
    if (!tags->is_array_of_tables() && !(tags->is_array() && tags->as_array()->empty())) {
      Error(tags, line, where + ": tags are given as [[controllers." + c.name + ".tags]] tables");
    } else {
      for (const toml::node &tag : *tags->as_array())
        LoadTag(*tag.as_table(), &c, *config, &groupIndex, &config->groups);
    }
  }
  const toml::node *tags = t.get("tags");
  if (!tags || (tags->is_array() && tags->as_array()->empty()))
    Error(line, where + ": the controller has no tags ([[controllers." + c.name + ".tags]])");
  config->controllers.push_back(std::move(c));
}

void Loader::AssignPorts(Config *config) {
  std::vector<const ControllerConfig *> byPort(kPorts, nullptr);
  for (const ControllerConfig &c : config->controllers) {
    if (c.portNumber < 0 || c.portNumber >= kPorts) continue;
    if (const ControllerConfig *other = byPort[static_cast<std::size_t>(c.portNumber)]) {
      Error(c.line, "controller " + Quote(c.name) + ": " + c.port + " is the port of controller " +
                        Quote(other->name) + " (line " + std::to_string(other->line) + ")");
      continue;
    }
    byPort[static_cast<std::size_t>(c.portNumber)] = &c;
  }
  std::map<std::string, const ControllerConfig *> devices;
  for (ControllerConfig &c : config->controllers) {
    if (c.portNumber != -1) continue;
    auto [at, fresh] = devices.emplace(c.device, &c);
    if (!fresh) {
      Error(c.line, "controller " + Quote(c.name) + ": " + c.device + " is the port of controller " +
                        Quote(at->second->name) + " (line " + std::to_string(at->second->line) + ")");
      continue;
    }
    for (int n = 0; n < kPorts; n++) {
      if (byPort[static_cast<std::size_t>(n)]) continue;
      byPort[static_cast<std::size_t>(n)] = &c;
      c.portNumber = n;
      break;
    }
    if (c.portNumber == -1)
      Error(c.line, "controller " + Quote(c.name) + ": no port left: a gateway serves at most 16 ports");
  }
  std::map<int, const ControllerConfig *> units;
  for (const ControllerConfig &c : config->controllers) {
    if (c.unit == 0) continue;
    auto [at, fresh] = units.emplace(c.unit, &c);
    if (!fresh)
      Error(c.line, "controller " + Quote(c.name) + ": Modbus unit " + std::to_string(c.unit) +
                        " is the unit of controller " + Quote(at->second->name) + " (line " +
                        std::to_string(at->second->line) + ")");
  }
}

void Loader::CheckModbusRanges(const Config &config) {
  for (const ControllerConfig &c : config.controllers) {
    struct Range {
      int first, last;
      const TagConfig *tag;
    };
    std::map<Table, std::vector<Range>> tables;
    for (const TagConfig &tag : c.tags) {
      if (tag.table == Table::None) continue;
      tables[tag.table].push_back({tag.offset, tag.offset + tag.count * TypeRegisters(tag.type) - 1, &tag});
    }
    for (auto &[table, ranges] : tables) {
      std::sort(ranges.begin(), ranges.end(),
                [](const Range &a, const Range &b) { return a.first < b.first; });
      for (std::size_t i = 1; i < ranges.size(); i++) {
        // Each range is checked against the furthest-reaching one before it.
        const Range *widest = &ranges[0];
        for (std::size_t j = 1; j < i; j++)
          if (ranges[j].last > widest->last) widest = &ranges[j];
        const Range &r = ranges[i];
        if (r.first > widest->last) continue;
        const Range &a = r.tag->line < widest->tag->line ? r : *widest;
        const Range &b = r.tag->line < widest->tag->line ? *widest : r;
        Error(b.tag->line, "tag " + Quote(b.tag->name) + " of controller " + Quote(c.name) + ": " +
                               TableName(table) + " " + std::to_string(b.first) + ".." +
                               std::to_string(b.last) + " overlap " + std::to_string(a.first) + ".." +
                               std::to_string(a.last) + " of tag " + Quote(a.tag->name) + " (line " +
                               std::to_string(a.tag->line) + ")");
      }
    }
  }
}

std::optional<Config> Loader::Load(std::string_view text) {
  toml::table root;
  try {
    root = toml::parse(text, name_);
  } catch (const toml::parse_error &e) {
    Error(static_cast<int>(e.source().begin.line), std::string(e.description()));
    return std::nullopt;
  }
  Config config;
  config.file = name_;
  OnlyKnown(root, {"gateway", "modbus", "mqtt", "groups", "controllers"}, "the file");
  if (const toml::table *t = Section(root, "gateway", "[gateway]")) LoadGateway(*t, &config.gateway);
  if (const toml::table *t = Section(root, "modbus", "[modbus]")) LoadModbus(*t, &config.modbus);
  if (const toml::table *t = Section(root, "mqtt", "[mqtt]")) LoadMqtt(*t, &config.mqtt);
  if (const toml::table *t = Section(root, "groups", "[groups]")) LoadGroups(*t, &config.groups);
  std::sort(config.groups.begin(), config.groups.end(),
            [](const GroupConfig &a, const GroupConfig &b) { return a.line < b.line; });
  if (const toml::table *t = Section(root, "controllers", "[controllers]")) {
    // In the order of the file (the table keeps its keys sorted).
    std::vector<std::pair<int, std::string_view>> order;
    for (auto &&[key, node] : *t) order.emplace_back(static_cast<int>(key.source().begin.line), key.str());
    std::sort(order.begin(), order.end());
    for (auto &[line, name] : order) {
      const toml::node *node = t->get(name);
      if (!node->is_table()) {
        Error(node, line, "[controllers." + std::string(name) + "] must be a table");
        continue;
      }
      LoadController(name, *node->as_table(), &config);
    }
  }
  if (config.controllers.empty() && errors_->empty())
    Error(1, "no controllers: add a [controllers.NAME] table with port, family and tags");
  if (!config.modbus.enabled && !config.mqtt.enabled && errors_->empty())
    Error(1, "neither [modbus] nor [mqtt]: the gateway would serve nobody");
  AssignPorts(&config);
  CheckModbusRanges(config);
  if (!errors_->empty()) return std::nullopt;
  return config;
}

}  // namespace

std::size_t Config::TagCount() const {
  std::size_t n = 0;
  for (const ControllerConfig &c : controllers) n += c.tags.size();
  return n;
}

std::optional<Config> ParseConfig(std::string_view text, const std::string &name,
                                  std::vector<std::string> *errors) {
  std::vector<std::string> found;
  auto config = Loader(name, &found).Load(text);
  // In the order of the file.
  std::stable_sort(found.begin(), found.end(), [&](const std::string &a, const std::string &b) {
    auto line = [&](const std::string &e) { return std::atoi(e.c_str() + name.size() + 1); };
    return line(a) < line(b);
  });
  errors->insert(errors->end(), found.begin(), found.end());
  return config;
}

std::optional<Config> LoadConfig(const std::string &path, std::vector<std::string> *errors) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors->push_back(path + ": cannot read the file: " + std::strerror(errno));
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    errors->push_back(path + ": cannot read the file: " + std::strerror(errno));
    return std::nullopt;
  }
  return ParseConfig(text.str(), path, errors);
}

const char *TypeName(ValueType type) {
  switch (type) {
  case ValueType::Bool:
    return "bool";
  case ValueType::U16:
    return "u16";
  case ValueType::I16:
    return "i16";
  case ValueType::U32:
    return "u32";
  case ValueType::I32:
    return "i32";
  case ValueType::F32:
    return "f32";
  }
  return "?";
}

const char *TableName(Table table) {
  switch (table) {
  case Table::Coils:
    return "coils";
  case Table::DiscreteInputs:
    return "discrete inputs";
  case Table::HoldingRegisters:
    return "holding registers";
  case Table::InputRegisters:
    return "input registers";
  case Table::None:
    break;
  }
  return "no table";
}

int TypeBytes(ValueType type) {
  switch (type) {
  case ValueType::Bool:
    return 0;
  case ValueType::U16:
  case ValueType::I16:
    return 2;
  default:
    return 4;
  }
}

int TypeRegisters(ValueType type) {
  return TypeBytes(type) == 4 ? 2 : 1;
}

}  // namespace velgw
