// Windows backend for a raw TCP connection to a serial device server
// (Winsock): the bytes of the line travel as they are, one connection per
// port.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "backends.h"

struct TcpDevice {
  SOCKET socket;
  int readTimeoutMs;
  int writeTimeoutMs;
};

namespace {

TcpDevice devices[16];

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
  char *words = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char *>(&words), 0, nullptr);
  std::snprintf(text, size, "%s (error %d)", words ? words : "socket error", error);
  LocalFree(words);
  // FormatMessage ends its text with a line break.
  for (char *c = text; *c; c++)
    if (*c == '\r' || *c == '\n') *c = ' ';
}

// Waits until s is readable (or writable), until deadline (GetTickCount64).
// True when it is.
bool WaitFor(SOCKET s, bool write, ULONGLONG deadline) {
  for (;;) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    ULONGLONG left = deadline - now;
    timeval tv = {static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    int r = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
    if (r > 0) return true;
    if (r == SOCKET_ERROR) return false;
  }
}

// Connects s to a before deadline; the error code says why not.
bool ConnectBefore(SOCKET s, const addrinfo *a, ULONGLONG deadline, int *error) {
  if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return true;
  *error = WSAGetLastError();
  if (*error != WSAEWOULDBLOCK) return false;
  if (!WaitFor(s, true, deadline)) {
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

}  // namespace

TcpDevice *TcpOpen(int port, const char *address, DeviceOpenInfo *info) {
  std::snprintf(info->path, sizeof info->path, "tcp://%s", address);
  char host[256], service[16];
  if (!SplitHostPort(address, host, sizeof host, service, sizeof service)) {
    info->failure = OpenFailure::kBadName;
    std::snprintf(info->osText, sizeof info->osText, "not HOST:PORT");
    return nullptr;
  }
  if (!StartWinsock()) {
    info->failure = OpenFailure::kOther;
    std::snprintf(info->osText, sizeof info->osText, "Winsock did not start");
    return nullptr;
  }
  const ULONGLONG deadline = GetTickCount64() + kTcpConnectMs;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(host, service, &hints, &found);
  if (rc != 0) {
    info->failure = OpenFailure::kUnreachable;
    SocketErrorText(rc, info->osText, sizeof info->osText);
    WSACleanup();
    return nullptr;
  }
  SOCKET s = INVALID_SOCKET;
  int error = WSAETIMEDOUT;
  for (const addrinfo *a = found; a && s == INVALID_SOCKET && GetTickCount64() < deadline; a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (!ConnectBefore(s, a, deadline, &error)) {
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  freeaddrinfo(found);
  if (s == INVALID_SOCKET) {
    info->failure = OpenFailure::kUnreachable;
    SocketErrorText(error, info->osText, sizeof info->osText);
    WSACleanup();
    return nullptr;
  }
  // Every byte goes out as it is written; keepalive notices a server that
  // vanished without a word.
  SetOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(s, SOL_SOCKET, SO_KEEPALIVE, 1);
  TcpDevice &d = devices[port & 15];
  d = TcpDevice{s, 990, 200};
  return &d;
}

void TcpClose(TcpDevice *device) {
  closesocket(device->socket);
  device->socket = INVALID_SOCKET;
  WSACleanup();
}

void TcpAbandon(TcpDevice *device) {
  TcpClose(device);  // Windows has no fork: never called
}

bool TcpSetTimeouts(TcpDevice *device, const DeviceTimeouts &t) {
  device->readTimeoutMs = PerByteReadMs(t);
  device->writeTimeoutMs = PerByteWriteMs(t);
  return true;
}

bool TcpPurge(TcpDevice *device) {
  // What was written is the server's now; drop what arrived and was not read.
  char junk[256];
  for (;;) {
    int r = recv(device->socket, junk, sizeof junk, 0);
    if (r > 0) continue;
    return r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
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

IoResult TcpReadByte(TcpDevice *device, uint8_t *byte, char *why, size_t size) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(device->readTimeoutMs);
  for (;;) {
    int r = recv(device->socket, reinterpret_cast<char *>(byte), 1, 0);
    if (r == 1) return IoResult::kDone;
    if (r == 0) return Lost(0, why, size);
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Lost(error, why, size);
    if (!WaitFor(device->socket, false, deadline)) return IoResult::kTimeout;
  }
}

IoResult TcpWriteByte(TcpDevice *device, uint8_t byte, char *why, size_t size) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(device->writeTimeoutMs);
  for (;;) {
    int r = send(device->socket, reinterpret_cast<const char *>(&byte), 1, 0);
    if (r == 1) return IoResult::kDone;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Lost(error, why, size);
    if (!WaitFor(device->socket, true, deadline)) return IoResult::kTimeout;
  }
}
