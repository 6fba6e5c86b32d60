// Linux backend for a raw TCP connection to a serial device server: the
// bytes of the line travel as they are, one connection per port.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "backends.h"
#include "base/clock.h"
#include "base/fd_posix.h"

struct TcpDevice {
  int fd;  // -1 while closed
  int readTimeoutMs;
  int writeTimeoutMs;
};

namespace {

TcpDevice devices[16];

// Connects fd to address before deadlineNs; errno tells why not.
bool ConnectBefore(int fd, const addrinfo *a, int64_t deadlineNs) {
  if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) return false;
  short ev = PollUntil(fd, POLLOUT, deadlineNs);
  if (ev == 0) {
    errno = ETIMEDOUT;
    return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
  errno = err;
  return err == 0;
}

void SetOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

TcpDevice *TcpOpen(int port, const char *address, DeviceOpenInfo *info) {
  std::snprintf(info->path, sizeof info->path, "tcp://%s", address);
  char host[256], service[16];
  if (!SplitHostPort(address, host, sizeof host, service, sizeof service)) {
    info->failure = OpenFailure::kBadName;
    std::snprintf(info->osText, sizeof info->osText, "not HOST:PORT");
    return nullptr;
  }
  const int64_t deadline = NowNs() + static_cast<int64_t>(kTcpConnectMs) * 1000000;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(host, service, &hints, &found);
  if (rc != 0) {
    info->failure = OpenFailure::kUnreachable;
    std::snprintf(info->osText, sizeof info->osText, "%s", gai_strerror(rc));
    return nullptr;
  }
  int fd = -1;
  int err = ETIMEDOUT;
  for (const addrinfo *a = found; a && fd < 0 && NowNs() < deadline; a = a->ai_next) {
    fd = AboveStandardStreams(
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (!ConnectBefore(fd, a, deadline)) {
      err = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    info->failure = OpenFailure::kUnreachable;
    ErrorText(err, info->osText, sizeof info->osText);
    return nullptr;
  }
  // Every byte goes out as it is written; a server that vanished without a
  // word is noticed by keepalive probes even while the port is idle.
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
  TcpDevice &d = devices[port & 15];
  d = TcpDevice{fd, 990, 200};
  return &d;
}

void TcpClose(TcpDevice *device) {
  close(device->fd);
  device->fd = -1;
}

void TcpAbandon(TcpDevice *device) {
  // The parent's socket stays connected: closing our copy sends nothing.
  close(device->fd);
  device->fd = -1;
}

bool TcpSetTimeouts(TcpDevice *device, const DeviceTimeouts &t) {
  device->readTimeoutMs = PerByteReadMs(t);
  device->writeTimeoutMs = PerByteWriteMs(t);
  return true;
}

bool TcpPurge(TcpDevice *device) {
  // What was written is the server's now; drop what arrived and was not read.
  uint8_t junk[256];
  for (;;) {
    ssize_t r = recv(device->fd, junk, sizeof junk, MSG_DONTWAIT);
    if (r > 0) continue;
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

IoResult TcpReadByte(TcpDevice *device, uint8_t *byte, char *why, size_t size) {
  size_t got;
  return static_cast<IoResult>(
      FdRead(device->fd, NowNs() + device->readTimeoutMs * 1000000LL, byte, 1, &got, true, why, size));
}

IoResult TcpWriteByte(TcpDevice *device, uint8_t byte, char *why, size_t size) {
  return static_cast<IoResult>(
      FdWrite(device->fd, NowNs() + device->writeTimeoutMs * 1000000LL, &byte, 1, true, why, size));
}
