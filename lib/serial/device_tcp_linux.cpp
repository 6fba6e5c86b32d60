// Linux backend for a raw TCP connection to a serial device server: the
// bytes of the line travel as they are, one connection per port. Line
// settings and modem lines are the server's.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>

#include "backends.h"
#include "base/clock.h"
#include "base/fair_lock.h"
#include "base/fd_posix.h"

namespace {

constexpr int64_t kTcpFinishMs = 200;  // a close waits at most this long for the server's end

int Fd(const Device &d) {
  return static_cast<int>(d.os);
}

// A name lookup runs as a request of its own (getaddrinfo_a), so that an
// open gives up at its deadline however long the resolver takes. A request
// given up that cannot be cancelled is written to until it ends: it is kept
// and freed by a later lookup once it has ended.
struct Lookup {
  gaicb request;
  addrinfo hints;
  char host[256];
  char service[16];
};

FairLock abandonedLock;
Lookup *abandoned[8];

void Free(Lookup *lookup) {
  if (lookup->request.ar_result) freeaddrinfo(lookup->request.ar_result);
  delete lookup;
}

void FreeEndedLookups(Lookup *keep) {
  std::lock_guard<FairLock> guard(abandonedLock);
  for (Lookup *&slot : abandoned) {
    if (slot && gai_error(&slot->request) != EAI_INPROGRESS) {
      Free(slot);
      slot = nullptr;
    }
    if (keep && !slot) {
      slot = keep;
      keep = nullptr;
    }
  }
  // With every slot taken by a lookup still running, the oldest stays
  // allocated for good: a few hundred bytes, only after many lookups that
  // never end.
}

// The addresses of host:service, found before deadlineNs: 0, or an EAI_*
// code (EAI_AGAIN when the deadline passed).
int LookUp(const char *host, const char *service, int64_t deadlineNs, addrinfo **found) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;  // an address needs no resolver
  int rc = getaddrinfo(host, service, &hints, found);
  if (rc != EAI_NONAME) return rc;
  FreeEndedLookups(nullptr);
  Lookup *lookup = new (std::nothrow) Lookup{};
  if (!lookup) return EAI_MEMORY;
  std::snprintf(lookup->host, sizeof lookup->host, "%s", host);
  std::snprintf(lookup->service, sizeof lookup->service, "%s", service);
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;
  lookup->request.ar_name = lookup->host;
  lookup->request.ar_service = lookup->service;
  lookup->request.ar_request = &lookup->hints;
  gaicb *list[] = {&lookup->request};
  rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (rc != 0) {
    delete lookup;
    return rc;
  }
  for (;;) {
    rc = gai_error(&lookup->request);
    const int64_t left = deadlineNs - NowNs();
    if (rc != EAI_INPROGRESS || left <= 0) break;
    const timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    gai_suspend(list, 1, &wait);
  }
  if (rc == 0) {
    *found = lookup->request.ar_result;
    lookup->request.ar_result = nullptr;
  }
  if (rc != EAI_INPROGRESS || gai_cancel(&lookup->request) != EAI_NOTCANCELED)
    Free(lookup);
  else
    FreeEndedLookups(lookup);
  return rc == EAI_INPROGRESS ? EAI_AGAIN : rc;
}

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

bool Open(Device &d, int, const char *address, const LineSettings &, DeviceOpenInfo &info) {
  std::snprintf(info.path, sizeof info.path, "tcp://%s", address);
  char host[256], service[16];
  const char *why = "";
  if (!SplitHostPort(address, host, sizeof host, service, sizeof service, &why)) {
    info.failure = OpenFailure::kBadAddress;
    std::snprintf(info.osText, sizeof info.osText, "%s", why);
    return false;
  }
  const int64_t deadline = NowNs() + static_cast<int64_t>(kConnectMs) * 1000000;
  addrinfo *found = nullptr;
  const int rc = LookUp(host, service, deadline, &found);
  if (rc != 0) {
    // No such name, or none for a stream connection; anything else (no
    // answer from the resolver, no network) may pass.
    const bool unknown = rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_ADDRFAMILY;
    info.failure = unknown ? OpenFailure::kUnknownHost : OpenFailure::kUnreachable;
    std::snprintf(
        info.osText, sizeof info.osText, "%s",
        rc == EAI_AGAIN && NowNs() >= deadline ? "the name lookup took longer than 3 s" : gai_strerror(rc));
    return false;
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
    info.failure = OpenFailure::kUnreachable;
    ErrorText(err, info.osText, sizeof info.osText);
    return false;
  }
  // Every piece goes out as it is written; a server that vanished without a
  // word is noticed by keepalive probes even while the port is idle.
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
  d.os = fd;
  return true;
}

// Our side is shut first, then what the server still sends is dropped until
// it closes too, for at most kTcpFinishMs: a server that takes the next
// connection before it has seen the end of this one (ser2net) refuses it as
// "port already in use", so an open right after a close would fail.
void Close(Device &d) {
  const int fd = Fd(d);
  if (shutdown(fd, SHUT_WR) == 0) {
    const int64_t until = NowNs() + kTcpFinishMs * 1000000LL;
    uint8_t junk[256];
    for (int64_t left; (left = until - NowNs()) > 0;) {
      pollfd ready = {fd, POLLIN, 0};
      const int r = poll(&ready, 1, static_cast<int>((left + 999999) / 1000000));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      const ssize_t got = recv(fd, junk, sizeof junk, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // the server closed, the connection is gone, or nothing after all
    }
  }
  close(fd);
}

void Abandon(Device &d) {
  // The parent's socket stays connected: closing our copy sends nothing.
  close(Fd(d));
}

// What was written is the server's now; what arrived and was not read is
// dropped: what was there when the purge began, for at most 5 ms, so that a
// server that never stops sending does not hold the purge.
void Purge(Device &d) {
  int queued = 0;
  if (ioctl(Fd(d), FIONREAD, &queued) != 0) return;
  const int64_t until = NowNs() + 5 * 1000000LL;
  uint8_t junk[512];
  while (queued > 0 && NowNs() < until) {
    const ssize_t r = recv(Fd(d), junk, std::min(sizeof junk, static_cast<size_t>(queued)), MSG_DONTWAIT);
    if (r <= 0) return;
    queued -= static_cast<int>(r);
  }
}

// Every segment that arrives is acknowledged at once: the receiver reads in
// batches, and a delayed acknowledgement would hold back a server that
// sends each character in a segment of its own (its congestion window
// counts segments).
IoResult Read(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, char *why,
              size_t whySize) {
  SetOption(Fd(d), IPPROTO_TCP, TCP_QUICKACK, 1);
  return static_cast<IoResult>(FdRead(Fd(d), deadlineNs, want, data, size, got, true, why, whySize));
}

IoResult Write(Device &d, int64_t deadlineNs, const uint8_t *data, size_t n, char *why, size_t whySize) {
  return static_cast<IoResult>(FdWrite(Fd(d), deadlineNs, data, n, true, why, whySize));
}

void Pause(Device &, uint32_t ms) {
  SleepUntil(NowNs() + ms * 1000000LL);
}

}  // namespace

const DeviceOps kTcpDevice = {"tcp://", 0, 16, Open, Close, Abandon, Purge, Read, Write, nullptr, Pause};
