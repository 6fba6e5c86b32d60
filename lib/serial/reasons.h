// Why the last thing failed, in words a program can show (VelReason): per
// port the reason of its last failed transfer, per thread the reason of its
// last failed open. Formatting happens only when something failed.
#pragma once
#include <cstddef>

constexpr size_t kReasonBytes = 256;  // a reason is at most 255 characters

// The calling thread's last failed open: its status and reason.
void NoteOpenFailure(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Copies the calling thread's last failed open into text; returns its status
// (0 and an empty text when none failed).
int OpenReason(char *text, int size);

// The reason of a failure on port (0..15); call with the port's lock held.
void NotePortFailure(int port, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Forgets the port's reason (a frame begins; the port opens).
void ClearPortReason(int port);
// Copies the port's reason for a failure with status into text. Without a
// noted reason the text names the port's device and the status.
void PortReason(int port, int status, char *text, int size);

// Copies from into text, cut to size (NUL-terminated); size 0 copies nothing.
void CopyReason(char *text, int size, const char *from);
