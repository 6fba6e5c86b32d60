// Why the last thing failed, in words a program can show (VelReason): per
// port the reason of its last failed transfer, per thread the reason of its
// last failed open. Formatting happens only when something failed.
#pragma once
#include <cstddef>

constexpr size_t kReasonBytes = 256;  // a reason is at most 255 characters

// The calling thread's last failed open: its status and reason. Status 0:
// an open that succeeded with a problem to tell (a trace that could not be
// opened).
void NoteOpenFailure(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Copies the calling thread's last noted open into text; returns its status
// (0 and an empty text when none was noted).
int OpenReason(char *text, int size);

// What went wrong on port (0..15), in a few words ("time-out while waiting
// for byte 3 of the answer"); the first failure since the frame began
// counts. Call with the port's lock held.
void NotePortFailure(int port, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Forgets the port's reason: a frame begins.
void ClearPortReason(int port);
// What went wrong on the port since the frame began; "" when nothing did.
const char *PortFailure(int port);
// Copies "COMn (device): what went wrong" into text for a failure with
// status; without a noted reason, the status's text stands for it.
void PortReason(int port, int status, char *text, int size);

// Copies from into text, cut to size (NUL-terminated); size 0 copies nothing.
void CopyReason(char *text, int size, const char *from);
