// The gateway's log: one line per event on standard error, never one per
// poll. Under systemd (JOURNAL_STREAM set) the journal adds the time; else
// each line starts with the UTC time.
#pragma once

namespace velgw {

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velgw
