#include "pty_line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace velsim {

namespace {

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error("velsim: " + what + ": " + std::strerror(errno));
}

// The target of the symbolic link at path, or "" if it is none.
std::string linkTarget(const std::string &path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

PtyLine::PtyLine(Family family, const std::string &dir, int com, ExistingLink existing)
    : LineServer(family), dir_(dir), path_(dir + "/COM" + std::to_string(com)), existing_(existing) {
  if (com < 1) throw std::invalid_argument("velsim: COM number must be 1 or more");
  if (mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST) fail("cannot create " + dir);
  open();
}

PtyLine::~PtyLine() {
  stop();
  closeAll();
}

void PtyLine::open() {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) fail("posix_openpt");
  char name[128];
  if (grantpt(m) < 0 || unlockpt(m) < 0 || ptsname_r(m, name, sizeof name) != 0) {
    int e = errno;
    close(m);
    errno = e;
    fail("cannot unlock the pseudo-terminal");
  }
  int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    int e = errno;
    close(m);
    errno = e;
    fail(std::string("cannot open ") + name);
  }
  // Raw from the start: no echo of the controller's answers, no line editing, before the library
  // programs its own settings.
  termios t{};
  tcgetattr(s, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(s, TCSANOW, &t);

  try {
    link(name);
  } catch (...) {
    close(s);
    close(m);
    throw;
  }
  // Told when a client closes the terminal (see lineCheck); without it the periodic check remains.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch >= 0 && inotify_add_watch(watch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(watch);
    watch = -1;
  }
  {
    std::lock_guard lock(ptyMutex_);
    master_ = m;
    slave_ = s;
    slaveName_ = name;
    closeWatch_ = watch;
  }
  serve(m);
}

void PtyLine::link(const std::string &slaveName) {
  struct stat st;
  if (existing_ == ExistingLink::Replace && lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    unlink(path_.c_str());
  // symlink() never replaces anything: whatever exists now stays.
  if (symlink(slaveName.c_str(), path_.c_str()) < 0) {
    if (errno != EEXIST) fail("cannot link " + path_);
    if (lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      throw LinkExists("velsim: " + path_ + " exists (a link to " + linkTarget(path_) +
                       "); not replacing it");
    }
    throw LinkExists("velsim: " + path_ + " exists and is no symbolic link; not replacing it");
  }
  if (lstat(path_.c_str(), &st) < 0) fail("cannot see " + path_);
  std::lock_guard lock(ptyMutex_);
  linkDev_ = st.st_dev;
  linkIno_ = st.st_ino;
}

void PtyLine::closeAll() {
  std::lock_guard lock(ptyMutex_);
  // Only the link this line made, still pointing to its terminal: another simulator may have replaced
  // it meanwhile.
  struct stat st;
  if (linkIno_ != 0 && lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_dev == linkDev_ &&
      st.st_ino == linkIno_ && linkTarget(path_) == slaveName_) {
    unlink(path_.c_str());
  }
  linkIno_ = 0;
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  if (closeWatch_ >= 0) close(closeWatch_);
  master_ = slave_ = closeWatch_ = -1;
}

int PtyLine::checkFd() const {
  std::lock_guard lock(ptyMutex_);
  return closeWatch_;
}

std::chrono::milliseconds PtyLine::checkPeriod() const {
  std::lock_guard lock(ptyMutex_);
  return std::chrono::steady_clock::now() < retryUntil_ ? std::chrono::milliseconds(2)
                                                        : std::chrono::milliseconds(100);
}

// A client opens the port with flock(LOCK_EX | LOCK_NB) and then sets the terminal's exclusive flag
// (TIOCEXCL), which it clears again when it closes. A client killed with SIGKILL cannot clear it, and
// because this line holds the slave open, the terminal is never released, so the flag would lock out
// every later client that is not root. The flag is the terminal's, not the descriptor's; the flock is
// the descriptor's and dies with the client. So: while the flag is set, try the same lock on our own
// descriptor. If we get it, no client holds the port and the flag is stale: clear it and unlock at
// once. A live client keeps its lock, so its flag is never touched. Costs: a client that opens exactly
// while we hold the lock for those few microseconds finds the port busy (only ever after a killed
// client), and a program that sets TIOCEXCL without flock loses its flag.
// Runs on the serving thread when a client has closed the terminal, and every 100 ms while idle. The
// close notice can come before the kernel has dropped the closer's lock, so a failed attempt is
// repeated every 2 ms for 100 ms after it.
void PtyLine::lineCheck() {
  std::lock_guard lock(ptyMutex_);
  if (closeWatch_ >= 0) {
    char events[4096];
    bool closed = false;
    while (::read(closeWatch_, events, sizeof events) > 0) closed = true;
    if (closed) retryUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  }
  int exclusive = 0;
  if (slave_ < 0 || ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || !exclusive) {
    retryUntil_ = {};
    return;
  }
  if (flock(slave_, LOCK_EX | LOCK_NB) != 0) return;  // a client holds the port
  ioctl(slave_, TIOCNXCL);
  flock(slave_, LOCK_UN);
  retryUntil_ = {};
}

std::string PtyLine::path() const {
  return path_;
}

std::string PtyLine::slaveName() const {
  std::lock_guard lock(ptyMutex_);
  return slaveName_;
}

termios PtyLine::lastSettings() const {
  std::lock_guard lock(ptyMutex_);
  termios t{};
  if (slave_ >= 0) tcgetattr(slave_, &t);
  return t;
}

int PtyLine::baudOf(const termios &settings) {
  switch (cfgetospeed(&settings)) {
  case B300:
    return 300;
  case B600:
    return 600;
  case B1200:
    return 1200;
  case B2400:
    return 2400;
  case B4800:
    return 4800;
  case B9600:
    return 9600;
  case B19200:
    return 19200;
  case B38400:
    return 38400;
  case B57600:
    return 57600;
  case B115200:
    return 115200;
  default:
    return 0;
  }
}

void PtyLine::restart() {
  int m;
  {
    std::lock_guard lock(ptyMutex_);
    m = master_;
  }
  if (m < 0) throw std::logic_error("velsim: restart after hangup; use reopen");
  serve(m);
}

void PtyLine::hangup() {
  stop();
  closeAll();
}

void PtyLine::reopen() {
  stop();
  closeAll();
  open();
}

}  // namespace velsim
