// A simulated controller behind a TCP port, as a serial device server presents one.
#pragma once

#include <mutex>
#include <string>

#include "line_server.h"

namespace velsim {

// Listens on HOST:PORT and serves a controller to one client at a time over a raw connection: what the
// client sends is what a device server would put on its serial line. A client that disconnects ends
// its session; the next one finds the same controller memory. Raw TCP has no authentication: tests
// listen on loopback addresses only.
class TcpLine : public LineServer {
 public:
  // HOST is a name or a numeric IPv4 or IPv6 address (no brackets); port 0 takes any free port.
  // Throws std::runtime_error if the address cannot be resolved or bound.
  explicit TcpLine(Family family, const std::string &host = "127.0.0.1", int port = 0);
  ~TcpLine() override;

  int port() const;                 // the port listened on (chosen by the system for port 0)
  std::string hostAddress() const;  // the numeric address listened on, "127.0.0.1" or "::1"
  std::string address() const;  // "tcp://127.0.0.1:40123", "tcp://[::1]:40123" (rfc2217:// for Rfc2217Line)
  bool connected() const;       // a client is connected

  // stop() (inherited) makes the line silent, keeping the listener and the client's connection;
  // restart() serves both again.
  void restart();
  // Closes the client's connection (it sees the end of the stream) and serves the next client.
  void disconnect();
  // The server goes away: closes the client's connection and the listener, so a connect is refused.
  void hangup();
  // Listens again on the same address and port and serves. Memory, faults and trace are kept.
  void reopen();

 protected:
  // For a subclass with a protocol around the bytes: listens, but serves only once the subclass calls
  // restart() (its hooks must exist before the serving thread calls them). `scheme` starts address().
  TcpLine(Family family, const std::string &host, int port, const char *scheme);

 private:
  void listenOn(const std::string &host, int port);

  mutable std::mutex tcpMutex_;
  const char *scheme_ = "tcp://";
  std::string host_;   // as given
  std::string bound_;  // numeric address listened on
  int port_ = 0;
  int socket_ = -1;  // the listening socket, -1 after hangup()
};

}  // namespace velsim
