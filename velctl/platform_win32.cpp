#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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

bool StdoutIsClosed() {
  // A program without standard handles has its output discarded by the C
  // runtime, as the system intends: nothing to report.
  return false;
}

void ReportBrokenOutput() {
  // Windows raises no signal for a broken pipe: the write fails.
}

bool ErrorsGoToTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool SetVariable(const char *name, const char *value) {
  // Both the C runtime's copy (getenv) and the process environment change.
  return _putenv_s(name, value) == 0;
}

void CatchInterrupt() {
  if (wakeEvent) return;
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

std::string AccessHint(const std::string &) {
  return {};  // COM ports have no groups to join
}

WholeFile::~WholeFile() {
  if (file_) std::fclose(file_);
  if (!temp_.empty()) DeleteFileA(temp_.c_str());
}

bool WholeFile::Fail(std::string *error) {
  *error = "cannot write '" + name_ + "': " + std::strerror(errno);
  return false;
}

bool WholeFile::Open(const std::string &name, std::string *error) {
  name_ = target_ = name;
  struct _stat st;
  if (_stat(name.c_str(), &st) == 0 && !(st.st_mode & _S_IFREG)) {
    file_ = std::fopen(name.c_str(), "wb");  // a device (NUL, COM3): nothing to replace
    return file_ || Fail(error);
  }
  for (unsigned n = GetTickCount() & 0xFFFF, tries = 0; tries < 100; ++n, ++tries) {
    const std::string temp = name + ".tmp" + std::to_string(n);
    const int fd = _open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return Fail(error);
    temp_ = temp;
    file_ = _fdopen(fd, "wb");
    if (!file_) {
      _close(fd);
      return Fail(error);
    }
    return true;
  }
  return Fail(error);
}

bool WholeFile::Write(const std::uint8_t *data, std::size_t size, std::string *error) {
  return std::fwrite(data, 1, size, file_) == size || Fail(error);
}

bool WholeFile::Commit(std::string *error) {
  int failure = 0;
  if (std::fflush(file_) != 0 || (!temp_.empty() && _commit(_fileno(file_)) != 0)) failure = errno;
  if (std::fclose(file_) != 0 && !failure) failure = errno;
  file_ = nullptr;
  if (failure) {
    errno = failure;
    return Fail(error);
  }
  if (temp_.empty()) return true;
  if (!MoveFileExA(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    errno = EACCES;
    return Fail(error);
  }
  temp_.clear();
  return true;
}
