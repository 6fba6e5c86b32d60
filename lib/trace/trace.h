// The library's trace: off unless VELDRV_TRACE names "stderr" or a file
// (appended). One line per event: a monotonic time stamp in milliseconds,
// the port, the thread, and what happened.
//
// A frame's events (bytes both ways, RTS changes, the reason of a failure)
// are collected while it runs and written when it has ended, so writing never
// falls between the bytes of a frame or into its pauses; every batch of lines
// is written in one piece, so lines of different threads never mix. Off, an
// event costs one test of Tracing().
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<bool> traceOn;

inline bool Tracing() {
  return traceOn.load(std::memory_order_relaxed);
}

// Reads VELDRV_TRACE and opens, keeps or closes the output (at every open).
void TraceConfigure();

// One line, written at once. port -1: no port.
void TraceLine(int port, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Frame events; call them with the port's lock held. what: "FX read", ...
void TraceFrameBegin(int port, const char *what, int64_t address, int n);
void TraceBytes(int port, bool sent, const uint8_t *data, int n);
void TraceNote(int port, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Writes the frame: a summary line (data of n bytes, or the reason of its
// failure), then its events.
void TraceFrameEnd(int port, bool ok, const uint8_t *data, int n, const char *reason);

// At unload: the output lock is only tried, never waited for (a thread may
// hold it at process exit, or this very thread inside a signal handler).
void TraceTeardown();
// In a forked child: the output lock starts afresh; frames in flight are
// the parent's.
void TraceForkChild();

// Platform part (trace_linux.cpp, trace_win32.cpp).
unsigned long TraceThreadId();                 // the OS's number of the calling thread
intptr_t TraceOpenOutput(const char *target);  // "stderr" or a file; -1 on failure
void TraceWriteOutput(intptr_t output, const char *text, size_t size);
void TraceCloseOutput(intptr_t output);
