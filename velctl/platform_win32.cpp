#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>

#include "platform.h"

namespace {

std::atomic<bool> interrupted{false};
HANDLE wakeEvent = nullptr;

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  interrupted = true;
  if (wakeEvent) SetEvent(wakeEvent);
  return TRUE;
}

}  // namespace

bool ErrorsGoToTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool SetVariable(const char *name, const char *value) {
  // Both the C runtime's copy (getenv) and the process environment change.
  return _putenv_s(name, value) == 0;
}

void CatchInterrupt() {
  wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() {
  return interrupted;
}

bool WaitUntil(std::chrono::steady_clock::time_point until) {
  using namespace std::chrono;
  while (!interrupted) {
    auto left = until - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return true;
    long long ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
    if (ms > 60000) ms = 60000;
    if (wakeEvent)
      WaitForSingleObject(wakeEvent, static_cast<DWORD>(ms));
    else
      Sleep(static_cast<DWORD>(ms));
  }
  return false;
}

std::tm UtcCalendar(std::time_t time) {
  std::tm fields = {};
  gmtime_s(&fields, &time);
  return fields;
}

void UseBinary(std::FILE *stream) {
  _setmode(_fileno(stream), _O_BINARY);
}
