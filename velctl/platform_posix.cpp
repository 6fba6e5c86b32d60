#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform.h"

namespace {

volatile sig_atomic_t interrupted = 0;
// The handler writes a byte here, so a wait in poll() ends even when the
// signal arrives just before it starts.
int wakeRead = -1;
int wakeWrite = -1;

void OnInterrupt(int) {
  interrupted = 1;
  int saved = errno;
  if (wakeWrite >= 0 && write(wakeWrite, "!", 1) < 0) {
    // A full pipe already wakes the waiter.
  }
  errno = saved;
}

}  // namespace

bool StdoutIsClosed() {
  return fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
}

void ReportBrokenOutput() {
  signal(SIGPIPE, SIG_IGN);  // EPIPE instead
  signal(SIGXFSZ, SIG_IGN);  // EFBIG instead
}

bool ErrorsGoToTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool SetVariable(const char *name, const char *value) {
  if (*value == '\0') return unsetenv(name) == 0;
  return setenv(name, value, 1) == 0;
}

void CatchInterrupt() {
  if (wakeRead >= 0) return;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead = fds[0];
    wakeWrite = fds[1];
  }
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Calls under way go on: the library finishes its transfer, and only then
  // does the program look at the flag.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return interrupted != 0;
}

bool WaitUntil(std::chrono::steady_clock::time_point until) {
  using namespace std::chrono;
  while (!interrupted) {
    auto left = until - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return true;
    // Whole milliseconds, rounded up, a minute at most per round.
    long long ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
    if (ms > 60000) ms = 60000;
    pollfd wake = {wakeRead, POLLIN, 0};
    poll(&wake, 1, static_cast<int>(ms));  // fd -1 is ignored: a plain sleep
  }
  return false;
}

std::tm UtcCalendar(std::time_t time) {
  std::tm fields = {};
  gmtime_r(&time, &fields);
  return fields;
}

void UseBinary(std::FILE *) {
  // POSIX streams are binary already.
}

std::string AccessHint(const std::string &path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK | W_OK) == 0 ||
      errno != EACCES)
    return {};
  const group *owner = st.st_gid != 0 ? getgrgid(st.st_gid) : nullptr;
  if (owner && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP))
    return std::string("add yourself to the group ") + owner->gr_name + " (sudo usermod -aG " +
           owner->gr_name + " $USER) and log in again";
  return "ask for read and write access to " + path;
}

WholeFile::~WholeFile() {
  if (file_) std::fclose(file_);
  if (!temp_.empty()) unlink(temp_.c_str());
}

bool WholeFile::Fail(std::string *error) {
  *error = "cannot write '" + name_ + "': " + std::strerror(errno);
  return false;
}

bool WholeFile::Open(const std::string &name, std::string *error) {
  name_ = target_ = name;
  struct stat st;
  const bool exists = stat(name.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    file_ = std::fopen(name.c_str(), "wb");  // a device or a FIFO: nothing to replace
    return file_ || Fail(error);
  }
  struct stat link;
  if (exists && lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(name.c_str(), resolved)) return Fail(error);
    target_ = resolved;
  }
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = folder + "." + base + ".XXXXXX";
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return Fail(error);
  temp_ = pattern;
  // The mode a new file would get, or the old file's.
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(022);
    umask(mask);
    mode = 0666 & ~mask;
  }
  file_ = fdopen(fd, "wb");
  if (!file_) {
    close(fd);
    return Fail(error);
  }
  return fchmod(fd, mode) == 0 || Fail(error);
}

bool WholeFile::Write(const std::uint8_t *data, std::size_t size, std::string *error) {
  return std::fwrite(data, 1, size, file_) == size || Fail(error);
}

bool WholeFile::Commit(std::string *error) {
  int failure = 0;
  if (std::fflush(file_) != 0 || (!temp_.empty() && fsync(fileno(file_)) != 0)) failure = errno;
  if (std::fclose(file_) != 0 && !failure) failure = errno;
  file_ = nullptr;
  if (failure) {
    errno = failure;
    return Fail(error);
  }
  if (temp_.empty()) return true;
  if (rename(temp_.c_str(), target_.c_str()) != 0) return Fail(error);
  temp_.clear();
  return true;
}
