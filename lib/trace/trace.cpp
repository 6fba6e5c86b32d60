#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/clock.h"
#include "base/fair_lock.h"
#include "base/settings.h"

std::atomic<bool> traceOn{false};

namespace {

constexpr int kPorts = 16;

// The events of the frame running on a port, collected until it ends. Only
// the thread holding the port's lock touches it.
struct FrameTrace {
  bool open;
  char what[16];  // "FX read", ...
  int64_t address;
  int n;
  double beganMs;
  unsigned long thread;
  int lastDirection;  // 0 a note, 1 sent, 2 received: a run of bytes shares a line
  char text[8192];    // the event lines
  size_t used;
};

FrameTrace frames[kPorts];
char frameOut[kPorts][9216];  // a frame's summary line and events, written in one piece

FairLock outputLock;
intptr_t output = -1;
char target[4096];
std::atomic<bool> tearingDown{false};

bool ValidPort(int port) {
  return port >= 0 && port < kPorts;
}

double TraceClockMs() {
  return static_cast<double>(NowNs()) / 1e6;
}

// "  12345.6 COM1 T4711 ": time stamp, port, thread.
int Header(char *text, size_t size, double ms, int port, unsigned long thread) {
  char where[16] = "-";
  if (ValidPort(port)) std::snprintf(where, sizeof where, "COM%d", port + 1);
  return std::snprintf(text, size, "%10.1f %s T%lu ", ms, where, thread);
}

// Writes text whole under the output lock. In teardown the lock is only
// tried: the thread holding it may never let go.
void Emit(const char *text, size_t size) {
  if (tearingDown.load(std::memory_order_relaxed)) {
    if (!outputLock.try_lock()) return;
  } else {
    outputLock.lock();
  }
  if (output != -1) TraceWriteOutput(output, text, size);
  outputLock.unlock();
}

// Appends to the frame's event lines; a frame that outgrows the buffer keeps
// its first events and is marked cut.
void Append(FrameTrace &f, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Append(FrameTrace &f, const char *format, ...) {
  if (f.used >= sizeof f.text) return;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(f.text + f.used, sizeof f.text - f.used, format, args);
  va_end(args);
  if (n < 0) return;
  if (f.used + static_cast<size_t>(n) >= sizeof f.text) {
    const char cut[] = " ...(cut)\n";
    f.used = sizeof f.text - sizeof cut;
    std::memcpy(f.text + f.used, cut, sizeof cut);
    f.used = sizeof f.text;  // full: nothing more
    return;
  }
  f.used += static_cast<size_t>(n);
}

// " 3F": the common event, a byte, without printf.
void AppendHexByte(FrameTrace &f, uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (f.used + 4 >= sizeof f.text) {
    Append(f, " %02X", byte);  // marks the frame cut
    return;
  }
  f.text[f.used++] = ' ';
  f.text[f.used++] = kDigits[byte >> 4];
  f.text[f.used++] = kDigits[byte & 15];
}

void StartEventLine(FrameTrace &f, int port) {
  if (f.used > 0 && f.used < sizeof f.text && f.text[f.used - 1] != '\n') Append(f, "\n");
  char head[64];
  Header(head, sizeof head, TraceClockMs(), port, TraceThreadId());
  Append(f, "%s  ", head);
}

size_t AppendHex(char *text, size_t size, size_t used, const uint8_t *data, int n) {
  for (int i = 0; i < n && used + 4 < size; i++)
    used += static_cast<size_t>(std::snprintf(text + used, size - used, " %02X", data[i]));
  return used;
}

}  // namespace

void TraceConfigure() {
  char value[sizeof target];
  const char *wanted = ReadSetting("VELDRV_TRACE", value, sizeof value) == Setting::kSet ? value : nullptr;
  {
    std::lock_guard<FairLock> guard(outputLock);
    if (wanted ? output != -1 && std::strcmp(wanted, target) == 0 : output == -1) return;
  }
  // Opened outside the lock: no frame waits for the file system.
  const intptr_t opened = wanted ? TraceOpenOutput(wanted) : -1;
  intptr_t old;
  {
    std::lock_guard<FairLock> guard(outputLock);
    old = output;
    output = opened;
    std::snprintf(target, sizeof target, "%s", opened != -1 ? wanted : "");
    traceOn.store(output != -1, std::memory_order_relaxed);
  }
  if (old != -1) TraceCloseOutput(old);
}

void TraceLine(int port, const char *format, ...) {
  char text[1024];
  int used = Header(text, sizeof text, TraceClockMs(), port, TraceThreadId());
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text + used, sizeof text - static_cast<size_t>(used) - 1, format, args);
  va_end(args);
  if (n < 0) return;
  size_t size = static_cast<size_t>(used) + static_cast<size_t>(n);
  if (size > sizeof text - 2) size = sizeof text - 2;
  text[size++] = '\n';
  Emit(text, size);
}

void TraceFrameBegin(int port, const char *what, int64_t address, int n) {
  if (!ValidPort(port)) return;
  FrameTrace &f = frames[port];
  f.open = true;
  std::snprintf(f.what, sizeof f.what, "%s", what);
  f.address = address & 0xFFFF;
  f.n = n;
  f.beganMs = TraceClockMs();
  f.thread = TraceThreadId();
  f.lastDirection = 0;
  f.used = 0;
}

void TraceBytes(int port, bool sent, const uint8_t *data, int n) {
  if (!ValidPort(port)) return;
  FrameTrace &f = frames[port];
  if (!f.open) {  // outside a frame: a line of its own
    char text[1024];
    TraceLine(port, "%s%.*s", sent ? ">" : "<", static_cast<int>(AppendHex(text, sizeof text, 0, data, n)),
              text);
    return;
  }
  int direction = sent ? 1 : 2;
  if (direction != f.lastDirection) {
    StartEventLine(f, port);
    Append(f, "%s", sent ? ">" : "<");
    f.lastDirection = direction;
  }
  for (int i = 0; i < n; i++) AppendHexByte(f, data[i]);
}

void TraceNote(int port, const char *format, ...) {
  if (!ValidPort(port)) return;
  char note[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(note, sizeof note, format, args);
  va_end(args);
  FrameTrace &f = frames[port];
  if (!f.open) {
    TraceLine(port, "%s", note);
    return;
  }
  StartEventLine(f, port);
  Append(f, "%s", note);
  f.lastDirection = 0;
}

void TraceFrameEnd(int port, bool ok, const uint8_t *data, int n, const char *reason) {
  if (!ValidPort(port) || !frames[port].open) return;
  FrameTrace &f = frames[port];
  f.open = false;
  char *out = frameOut[port];
  constexpr size_t kOut = sizeof frameOut[0];
  bool read = std::strstr(f.what, "read") != nullptr;
  size_t used = static_cast<size_t>(Header(out, kOut, f.beganMs, port, f.thread));
  used += static_cast<size_t>(std::snprintf(out + used, kOut - used, "%s 0x%04X n=%d", f.what,
                                            static_cast<unsigned>(f.address), f.n));
  if (ok || !read) {
    used += static_cast<size_t>(std::snprintf(out + used, kOut - used, " %s", read ? "->" : "<-"));
    used = AppendHex(out, kOut, used, data, n);
  }
  if (!ok)
    used += static_cast<size_t>(
        std::snprintf(out + used, kOut - used, " failed: %s", reason && *reason ? reason : "no answer"));
  if (used < kOut - 1) out[used++] = '\n';
  if (f.used > 0) {
    size_t events = f.used < kOut - used ? f.used : kOut - used - 1;
    std::memcpy(out + used, f.text, events);
    used += events;
    if (out[used - 1] != '\n') out[used++] = '\n';
  }
  Emit(out, used);
}

void TraceTeardown() {
  tearingDown.store(true, std::memory_order_relaxed);
}

void TraceForkChild() {
  outputLock.Reset();
  for (FrameTrace &f : frames) f.open = false;
}
