// The gateway's configuration: controllers and their tags, scan groups, the
// Modbus TCP server and the MQTT client, as read from one TOML file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operands.h"

namespace velgw {

enum class ValueType { Bool, U16, I16, U32, I32, F32 };

// The Modbus table a tag is served from; None: MQTT only.
enum class Table { None, Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

struct GroupConfig {
  std::string name;
  double interval = 1.0;  // seconds between scans
  double maxAge = 5.0;    // seconds: an older value is stale
  double deadband = 0;    // MQTT: a change smaller than this is not published
  int line = 0;
};

struct TagConfig {
  std::string name;
  std::string address;  // as written: "D100", "X17", "@0x1000"
  operands::Operand op;
  ValueType type = ValueType::U16;
  int count = 1;
  bool writable = false;
  int group = 0;               // index into Config::groups
  bool highWordFirst = false;  // 32-bit values on Modbus: high register first
  Table table = Table::None;
  int offset = 0;  // first Modbus address
  int line = 0;
  // Where the tag lies: its span of controller memory (all elements).
  operands::Span span;
  int bit = 0;  // bool: the bit of the first element in its byte
};

struct ControllerConfig {
  std::string name;
  std::string port;    // as written: "COM1", "/dev/ttyUSB0", "tcp://10.0.0.5:4001"
  int portNumber = 0;  // the library's port, 0..15
  std::string device;  // given to the library as VELDRV_COM<n>; empty for a COMn port
  operands::Family family = operands::Family::Fx;
  int unit = 0;                     // Modbus unit id; 0: none
  std::optional<bool> legacyAreas;  // VELDRV_FX_AREAS for its link; unset: the environment's
  std::optional<int> frameBytes;    // VELDRV_FRAME_BYTES for its link; unset: the environment's
  std::vector<TagConfig> tags;
  int line = 0;
};

struct ModbusConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";  // empty: every address
  std::string port = "502";
  int maxClients = 64;
  double idleTimeout = 60;  // seconds without a request before a client is dropped
};

struct TlsConfig {
  bool enabled = false;
  std::string caFile, caPath, certFile, keyFile;
  bool insecure = false;  // do not check the broker's host name
};

struct MqttConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;  // empty: velgw-<host name>
  std::string prefix = "velgw";
  std::optional<std::string> username, password;
  int qos = 1;
  int keepalive = 30;
  double maxInterval = 60;   // a value unchanged for this long is published again; 0: never
  double reconnectMax = 60;  // seconds; reconnects back off from 1 s to this
  TlsConfig tls;
};

struct GatewayConfig {
  int failures = 3;         // failed transfers in a row before a controller goes off scan
  double backoff = 10;      // seconds off scan, doubled after each failed retry
  double backoffMax = 300;  // up to this
};

struct Config {
  std::string file;
  GatewayConfig gateway;
  ModbusConfig modbus;
  MqttConfig mqtt;
  std::vector<GroupConfig> groups;
  std::vector<ControllerConfig> controllers;

  std::size_t TagCount() const;
};

// Reads and checks the file. On any problem: none, and *errors holds one
// line per problem, "FILE:LINE: what is wrong".
std::optional<Config> LoadConfig(const std::string &path, std::vector<std::string> *errors);
// The same for text already read; name stands for the file in the messages.
std::optional<Config> ParseConfig(std::string_view text, const std::string &name,
                                  std::vector<std::string> *errors);

const char *TypeName(ValueType type);
const char *TableName(Table table);  // "holding registers", ...
// Bytes of one element in controller memory; 0 for bool (a bit).
int TypeBytes(ValueType type);
// Modbus registers (or coils) one element takes.
int TypeRegisters(ValueType type);

}  // namespace velgw
