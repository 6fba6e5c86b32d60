// Windows backend for a raw TCP connection to a serial device server
// (Winsock): the bytes of the line travel as they are, one connection per
// port. Line settings and modem lines are the server's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "backends.h"
#include "base/clock.h"
#include "base/error_text_win32.h"
#include "base/fair_lock.h"

namespace {

SOCKET Socket(const Device &d) {
  return static_cast<SOCKET>(d.os);
}

// Winsock is started for each connection and cleaned up when it closes
// (Winsock counts). ws2_32.dll itself stays loaded once a connection was
// made: unloading it with this DLL and loading it again (a program that
// unloads the library and loads it again) is not safe everywhere (Wine 8
// crashes in socket() afterwards).
bool StartWinsock() {
  HMODULE pinned;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "ws2_32.dll", &pinned);
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void SocketErrorText(int error, char *text, size_t size) {
  WindowsErrorText(static_cast<unsigned long>(error), text, size, "socket error");
}

// Waits until s is readable (or writable) or deadlineNs (NowNs) has passed.
// True when it is.
bool WaitFor(SOCKET s, bool write, int64_t deadlineNs) {
  for (;;) {
    const int64_t left = deadlineNs - NowNs();
    const int64_t us = left > 0 ? (left + 999) / 1000 : 0;
    timeval tv = {static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    int r = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
    if (r > 0) return true;
    if (r == SOCKET_ERROR || left <= 0) return false;
  }
}

// The addresses a connect tries, from either kind of lookup.
struct Candidate {
  int family, socktype, protocol;
  sockaddr_storage address;
  int length;
};
constexpr int kCandidates = 8;

template <typename Info>
int Collect(const Info *found, Candidate *out) {
  int n = 0;
  // (MinGW declares ADDRINFOEXW's ai_next with another spelling of its tag.)
  for (const Info *a = found; a && n < kCandidates; a = reinterpret_cast<const Info *>(a->ai_next)) {
    if (a->ai_addrlen > sizeof out[n].address) continue;
    out[n] = Candidate{a->ai_family, a->ai_socktype, a->ai_protocol, {}, static_cast<int>(a->ai_addrlen)};
    std::memcpy(&out[n].address, a->ai_addr, a->ai_addrlen);
    n++;
  }
  return n;
}

// A name lookup runs as an overlapped GetAddrInfoExW (Windows 8 and later),
// so that an open gives up at its deadline however long the resolver takes.
// A lookup given up that cannot be cancelled is written to until it ends: it
// is kept and freed by a later lookup once it has ended.
using OverlappedResultFn = INT(WSAAPI *)(LPOVERLAPPED);
using CancelFn = INT(WSAAPI *)(LPHANDLE);

struct Lookup {
  OVERLAPPED overlapped;
  ADDRINFOEXW hints;
  ADDRINFOEXW *result;
  HANDLE cancel;
  wchar_t host[256];
  wchar_t service[16];
};

FairLock abandonedLock;
Lookup *abandoned[8];

void Free(Lookup *lookup) {
  if (lookup->result) FreeAddrInfoExW(lookup->result);
  CloseHandle(lookup->overlapped.hEvent);
  delete lookup;
}

void FreeEndedLookups(Lookup *keep) {
  std::lock_guard<FairLock> guard(abandonedLock);
  for (Lookup *&slot : abandoned) {
    if (slot && WaitForSingleObject(slot->overlapped.hEvent, 0) == WAIT_OBJECT_0) {
      Free(slot);
      slot = nullptr;
    }
    if (keep && !slot) {
      slot = keep;
      keep = nullptr;
    }
  }
}

// The candidates for host:service, found before deadlineNs: their number,
// or 0 with *error (WSAETIMEDOUT when the deadline passed).
int LookUp(const char *host, const char *service, int64_t deadlineNs, Candidate *out, int *error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;  // an address needs no resolver
  addrinfo *found = nullptr;
  *error = getaddrinfo(host, service, &hints, &found);
  if (*error == 0) {
    const int n = Collect(found, out);
    freeaddrinfo(found);
    return n;
  }
  HMODULE ws2 = GetModuleHandleA("ws2_32.dll");
  auto overlappedResult = reinterpret_cast<OverlappedResultFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(ws2, "GetAddrInfoExOverlappedResult")));
  auto cancel =
      reinterpret_cast<CancelFn>(reinterpret_cast<void (*)()>(GetProcAddress(ws2, "GetAddrInfoExCancel")));
  Lookup *lookup = overlappedResult ? new (std::nothrow) Lookup{} : nullptr;
  if (lookup) lookup->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!lookup || !lookup->overlapped.hEvent) {
    delete lookup;
    hints.ai_flags = AI_NUMERICSERV;  // without the overlapped lookup: the system's own time
    *error = getaddrinfo(host, service, &hints, &found);
    if (*error != 0) return 0;
    const int n = Collect(found, out);
    freeaddrinfo(found);
    return n;
  }
  FreeEndedLookups(nullptr);
  MultiByteToWideChar(CP_UTF8, 0, host, -1, lookup->host, 256);
  MultiByteToWideChar(CP_UTF8, 0, service, -1, lookup->service, 16);
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;
  *error = GetAddrInfoExW(lookup->host, lookup->service, NS_DNS, nullptr, &lookup->hints, &lookup->result,
                          nullptr, &lookup->overlapped, nullptr, &lookup->cancel);
  if (*error == WSA_IO_PENDING) {
    const int64_t left = deadlineNs - NowNs();
    const DWORD ms = left > 0 ? static_cast<DWORD>((left + 999999) / 1000000) : 0;
    if (WaitForSingleObject(lookup->overlapped.hEvent, ms) == WAIT_OBJECT_0) {
      *error = overlappedResult(&lookup->overlapped);
    } else {
      if (cancel) cancel(&lookup->cancel);
      FreeEndedLookups(lookup);  // freed once it has ended
      *error = WSAETIMEDOUT;
      return 0;
    }
  }
  const int n = *error == 0 ? Collect(lookup->result, out) : 0;
  Free(lookup);
  return n;
}

// Connects s to a candidate before deadlineNs; the error code says why not.
bool ConnectBefore(SOCKET s, const Candidate &a, int64_t deadlineNs, int *error) {
  if (connect(s, reinterpret_cast<const sockaddr *>(&a.address), a.length) == 0) return true;
  *error = WSAGetLastError();
  if (*error != WSAEWOULDBLOCK) return false;
  if (!WaitFor(s, true, deadlineNs)) {
    *error = WSAETIMEDOUT;
    return false;
  }
  int soError = 0;
  int len = sizeof soError;
  getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soError), &len);
  *error = soError;
  return soError == 0;
}

void SetOption(SOCKET s, int level, int name, int value) {
  setsockopt(s, level, name, reinterpret_cast<const char *>(&value), sizeof value);
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
  if (!StartWinsock()) {
    info.failure = OpenFailure::kOther;
    std::snprintf(info.osText, sizeof info.osText, "Winsock did not start");
    return false;
  }
  const int64_t deadline = NowNs() + static_cast<int64_t>(kConnectMs) * 1000000;
  Candidate candidates[kCandidates];
  int error = 0;
  const int n = LookUp(host, service, deadline, candidates, &error);
  if (n == 0 && error == 0) error = WSANO_DATA;  // addresses, but none to connect to
  if (n == 0) {
    // No such name, or none for a stream connection; anything else (no
    // answer from the resolver, no network) may pass.
    const bool unknown = error == WSAHOST_NOT_FOUND || error == WSANO_DATA;
    info.failure = unknown ? OpenFailure::kUnknownHost : OpenFailure::kUnreachable;
    if (error == WSAETIMEDOUT)
      std::snprintf(info.osText, sizeof info.osText, "the name lookup took longer than 3 s");
    else
      SocketErrorText(error, info.osText, sizeof info.osText);
    WSACleanup();
    return false;
  }
  SOCKET s = INVALID_SOCKET;
  error = WSAETIMEDOUT;
  for (int i = 0; i < n && s == INVALID_SOCKET && NowNs() < deadline; i++) {
    s = socket(candidates[i].family, candidates[i].socktype, candidates[i].protocol);
    if (s == INVALID_SOCKET) {
      error = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (!ConnectBefore(s, candidates[i], deadline, &error)) {
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  if (s == INVALID_SOCKET) {
    info.failure = OpenFailure::kUnreachable;
    SocketErrorText(error, info.osText, sizeof info.osText);
    WSACleanup();
    return false;
  }
  // Every piece goes out as it is written; keepalive notices a server that
  // vanished without a word.
  SetOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(s, SOL_SOCKET, SO_KEEPALIVE, 1);
  d.os = static_cast<intptr_t>(s);
  return true;
}

// Closed at once. (The Linux backend waits for the server's end of the
// connection first; done here with shutdown() and select(), the tests under
// Wine hung now and then, so Windows keeps the plain close.)
void Close(Device &d) {
  closesocket(Socket(d));
  WSACleanup();
}

void Abandon(Device &d) {
  Close(d);  // Windows has no fork: never called
}

// What was written is the server's now; what arrived and was not read is
// dropped: what was there when the purge began, for at most 5 ms, so that a
// server that never stops sending does not hold the purge.
void Purge(Device &d) {
  u_long queued = 0;
  if (ioctlsocket(Socket(d), FIONREAD, &queued) != 0) return;
  const int64_t until = NowNs() + 5 * 1000000LL;
  char junk[512];
  while (queued > 0 && NowNs() < until) {
    const int r = recv(Socket(d), junk, static_cast<int>(std::min<u_long>(sizeof junk, queued)), 0);
    if (r <= 0) return;
    queued -= static_cast<u_long>(r);
  }
}

// A connection that the server closed or reset, or that failed otherwise.
IoResult Lost(int error, char *why, size_t size) {
  if (error == 0)
    std::snprintf(why, size, "the server closed the connection");
  else if (error == WSAECONNRESET || error == WSAECONNABORTED)
    std::snprintf(why, size, "the server reset the connection");
  else
    SocketErrorText(error, why, size);
  return IoResult::kLost;
}

// One recv of what is there, after waiting for the first byte (want 1) or,
// for more, until the deadline, by which the caller expects them.
IoResult Read(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, char *why,
              size_t whySize) {
  *got = 0;
  if (want > 1) SleepUntil(deadlineNs);
  for (;;) {
    const int r = recv(Socket(d), reinterpret_cast<char *>(data), static_cast<int>(size), 0);
    if (r > 0) {
      *got = static_cast<size_t>(r);
      return IoResult::kDone;
    }
    if (r == 0) return Lost(0, why, whySize);
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Lost(error, why, whySize);
    if (!WaitFor(Socket(d), false, deadlineNs)) return IoResult::kTimeout;
  }
}

// One send for the piece, as long as the socket takes it all at once.
IoResult Write(Device &d, int64_t deadlineNs, const uint8_t *data, size_t n, char *why, size_t whySize) {
  while (n > 0) {
    const int r = send(Socket(d), reinterpret_cast<const char *>(data), static_cast<int>(n), 0);
    if (r > 0) {
      data += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Lost(error, why, whySize);
    if (!WaitFor(Socket(d), true, deadlineNs)) return IoResult::kTimeout;
  }
  return IoResult::kDone;
}

void Pause(Device &, uint32_t ms) {
  SleepEx(ms, TRUE);
}

}  // namespace

const DeviceOps kTcpDevice = {"tcp://", 0, 16, Open, Close, Abandon, Purge, Read, Write, nullptr, Pause};
