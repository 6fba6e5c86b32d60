// The library's trace: off unless VELDRV_TRACE names "stderr" or a file
// (appended). One line per event: a monotonic time stamp in milliseconds,
// the port, the thread, and what happened.
//
// A frame's events (bytes both ways, RTS changes, the reason of a failure)
// are collected while it runs and written when it has ended, so writing never
// falls between the bytes of a frame or into its pauses; every batch of lines
// is written in one piece, so lines of different threads never mix. Off, an
// event costs one test of Tracing().
//
// Writing never waits: what the output does not take at once (a standard
// error or FIFO that nobody reads, a full disk) is dropped, whole lines at a
// time, and the next line that gets through says how many were lost.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

extern std::atomic<bool> traceOn;

inline bool Tracing() {
  return traceOn.load(std::memory_order_relaxed);
}

// Reads VELDRV_TRACE and opens, keeps or closes the output (at every open).
// "stderr", in any case and with blanks around it, is standard error; any
// other value a file, appended to (created with mode 0600, a symbolic link
// not followed). A target that cannot be opened leaves the trace off and is
// tried again at the next open; until TraceProblemTold() is called for it,
// every call returns true with *problem saying why, in a sentence for the
// calling program (VelReason(-1, ...)).
bool TraceConfigure(char *problem, size_t size);
// The problem TraceConfigure returned has reached the program.
void TraceProblemTold();

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
unsigned long TraceThreadId();  // the OS's number of the calling thread
// The output: standard error, or a file appended to; -1 on failure, with
// the system's words in why.
intptr_t TraceOpenStandardError(char *why, size_t size);
intptr_t TraceOpenFile(const char *path, char *why, size_t size);
// Standard error is another file than when it was opened (a program put
// one there).
bool TraceStandardErrorMoved();
// Writes what the output takes now, without waiting for it to take more;
// returns the bytes written.
size_t TraceWriteOutput(intptr_t output, const char *text, size_t size);
// standardError: the output came from TraceOpenStandardError.
void TraceCloseOutput(intptr_t output, bool standardError);
