// Descriptor helpers of the POSIX parts: the serial and TCP backends and the
// trace output.
#pragma once
#include <cstddef>
#include <cstdint>

// Waits for events on fd until deadlineNs (NowNs); retries after signals with
// the time that remains. Returns the revents, or 0 at the deadline.
short PollUntil(int fd, short events, int64_t deadlineNs);

// The library never holds a device on descriptors 0, 1 or 2: a program whose
// standard output is closed would otherwise print into the line. Returns fd
// itself when it is above 2, else a close-on-exec duplicate above 2 (closing
// fd), or -1 when that fails (fd closed).
int AboveStandardStreams(int fd);

// Results of FdRead and FdWrite.
enum FdResult { kFdDone, kFdTimeout, kFdLost, kFdFailed };

// Waits until deadlineNs for want bytes (1: the first), then reads what is
// there, up to size bytes, into data (*got); kFdTimeout when nothing came.
// More than one byte is waited for by sleeping until the deadline: the
// caller knows when they can have arrived. kFdLost: the device is gone (a
// hang-up, a connection the server closed or reset, a read error), why says
// how.
FdResult FdRead(int fd, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, bool socket,
                char *why, size_t whySize);
// Writes all n bytes before deadlineNs. Sockets are written with
// send(MSG_NOSIGNAL): a connection the server closed must not raise SIGPIPE
// in the caller. kFdLost for a device that is gone, kFdFailed for another
// error, kFdTimeout when the bytes were not all taken in time.
FdResult FdWrite(int fd, int64_t deadlineNs, const uint8_t *data, size_t n, bool socket, char *why,
                 size_t whySize);

// The system's words for err into text.
void ErrorText(int err, char *text, size_t size);
