// Descriptor helpers shared by the POSIX backends (serial port and TCP).
#pragma once
#include <cstddef>
#include <cstdint>

int64_t NowNs();  // CLOCK_MONOTONIC

// Waits for events on fd until deadlineNs; retries after signals with the
// time that remains. Returns the revents, or 0 at the deadline.
short PollUntil(int fd, short events, int64_t deadlineNs);

// The library never holds a device on descriptors 0, 1 or 2: a program whose
// standard output is closed would otherwise print into the line. Returns fd
// itself when it is above 2, else a close-on-exec duplicate above 2 (closing
// fd), or -1 when that fails (fd closed).
int AboveStandardStreams(int fd);

// One byte within timeoutMs; a read of 0 bytes is a hang-up, not a byte.
bool FdReadByte(int fd, int timeoutMs, uint8_t *byte);
// One byte within timeoutMs. Sockets are written with send(MSG_NOSIGNAL): a
// connection the server closed must not raise SIGPIPE in the caller.
bool FdWriteByte(int fd, int timeoutMs, uint8_t byte, bool socket);

// strerror for err into text.
void ErrorText(int err, char *text, size_t size);
