#include "trace.h"

#include <cctype>
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

// Under the output lock: the output and what it was opened for, the rest
// of a line the output took only in part, the lines dropped since the last
// that got through, and the target that could not be opened.
FairLock outputLock;
intptr_t output = -1;
bool outputIsStderr = false;
char target[4096];
char lineRest[4096];  // longer than any line
size_t lineRestUsed = 0;
unsigned long long dropped = 0;
char failedTarget[4096];
bool failureTold = false;
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

unsigned long long CountLines(const char *text, size_t size) {
  unsigned long long lines = 0;
  for (size_t i = 0; i < size; i++) lines += text[i] == '\n';
  return lines;
}

// Writes what the output takes of text now; the rest of a line it took in
// part is kept to be finished first, the lines after it are counted as
// dropped. Call with the output lock held.
void Put(const char *text, size_t size) {
  const size_t n = TraceWriteOutput(output, text, size);
  if (n >= size) return;
  size_t rest = 0;
  if (n > 0 && text[n - 1] != '\n') {
    const void *end = std::memchr(text + n, '\n', size - n);
    rest = end ? static_cast<size_t>(static_cast<const char *>(end) - (text + n)) + 1 : size - n;
    if (rest > sizeof lineRest) rest = 0;  // no line is that long; drop it
    std::memcpy(lineRest, text + n, rest);
    lineRestUsed = rest;
  }
  dropped += CountLines(text + n + rest, size - n - rest);
}

// Writes text, whole lines, under the output lock, without waiting for the
// output; what it does not take is dropped and counted, and the next line
// that gets through says how many were lost. In teardown the lock is only
// tried: the thread holding it may never let go.
void Emit(const char *text, size_t size) {
  if (tearingDown.load(std::memory_order_relaxed)) {
    if (!outputLock.try_lock()) return;
  } else {
    outputLock.lock();
  }
  if (output == -1) {
    outputLock.unlock();
    return;
  }
  if (lineRestUsed > 0) {  // the end of a line the output took in part
    const size_t n = TraceWriteOutput(output, lineRest, lineRestUsed);
    std::memmove(lineRest, lineRest + n, lineRestUsed - n);
    lineRestUsed -= n;
  }
  if (lineRestUsed > 0) {
    dropped += CountLines(text, size);
  } else if (dropped > 0) {
    char note[128];
    int used = Header(note, sizeof note, TraceClockMs(), -1, TraceThreadId());
    used += std::snprintf(note + used, sizeof note - static_cast<size_t>(used),
                          "%llu trace lines dropped: the output did not take them\n", dropped);
    const size_t n = TraceWriteOutput(output, note, static_cast<size_t>(used));
    if (n == 0) {
      dropped += CountLines(text, size);
    } else if (n < static_cast<size_t>(used)) {  // the note in part: finish it first, drop the text
      lineRestUsed = static_cast<size_t>(used) - n;
      std::memcpy(lineRest, note + n, lineRestUsed);
      dropped = CountLines(text, size);
    } else {
      dropped = 0;
      Put(text, size);
    }
  } else {
    Put(text, size);
  }
  outputLock.unlock();
}

// "stderr" in any case, with blanks around it.
bool IsStandardError(const char *value) {
  while (std::isspace(static_cast<unsigned char>(*value))) value++;
  for (const char *word = "stderr"; *word; word++, value++)
    if (std::tolower(static_cast<unsigned char>(*value)) != *word) return false;
  while (std::isspace(static_cast<unsigned char>(*value))) value++;
  return *value == '\0';
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

bool TraceConfigure(char *problem, size_t size) {
  char value[sizeof target];
  const Setting setting = ReadSetting("VELDRV_TRACE", value, sizeof value);
  const char *wanted = setting == Setting::kSet ? value : nullptr;
  const bool toStderr = wanted && IsStandardError(wanted);
  {
    std::lock_guard<FairLock> guard(outputLock);
    if (wanted ? output != -1 && std::strcmp(wanted, target) == 0 &&
                     !(outputIsStderr && TraceStandardErrorMoved())
               : output == -1 && setting == Setting::kUnset)
      return false;
  }
  // Opened outside the lock: no frame waits for the file system.
  char why[160] = "";
  intptr_t opened = -1;
  if (setting == Setting::kTooLong)
    std::snprintf(why, sizeof why, "longer than %zu characters", sizeof value - 1);
  else if (wanted)
    opened = toStderr ? TraceOpenStandardError(why, sizeof why) : TraceOpenFile(wanted, why, sizeof why);
  intptr_t old;
  bool oldIsStderr;
  bool tell = false;
  {
    std::lock_guard<FairLock> guard(outputLock);
    old = output;
    oldIsStderr = outputIsStderr;
    output = opened;
    outputIsStderr = toStderr;
    lineRestUsed = 0;
    dropped = 0;
    std::snprintf(target, sizeof target, "%s", opened != -1 ? wanted : "");
    traceOn.store(output != -1, std::memory_order_relaxed);
    if (opened == -1 && setting != Setting::kUnset) {
      const char *shown = wanted ? wanted : "(too long)";
      if (std::strcmp(shown, failedTarget) != 0) {
        std::snprintf(failedTarget, sizeof failedTarget, "%s", shown);
        failureTold = false;
      }
      tell = !failureTold;
      if (tell && problem && size > 0)
        std::snprintf(problem, size, "VELDRV_TRACE=%.120s: cannot open it (%s); the trace is off", shown,
                      why);
    } else {
      failedTarget[0] = '\0';
    }
  }
  if (old != -1 && old != opened) TraceCloseOutput(old, oldIsStderr);
  return tell;
}

void TraceProblemTold() {
  std::lock_guard<FairLock> guard(outputLock);
  failureTold = true;
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
  lineRestUsed = 0;  // the parent's
  dropped = 0;
}
