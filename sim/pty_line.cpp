#include "pty_line.h"

#include <fcntl.h>
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

PtyLine::PtyLine(Family family, const std::string &dir, int com)
    : LineServer(family), dir_(dir), path_(dir + "/COM" + std::to_string(com)) {
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

  struct stat st;
  if (lstat(path_.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      close(s);
      close(m);
      errno = EEXIST;
      fail(path_ + " exists and is no symbolic link");
    }
    unlink(path_.c_str());
  }
  if (symlink(name, path_.c_str()) < 0) {
    int e = errno;
    close(s);
    close(m);
    errno = e;
    fail("cannot link " + path_);
  }
  {
    std::lock_guard lock(ptyMutex_);
    master_ = m;
    slave_ = s;
    slaveName_ = name;
  }
  serve(m);
}

void PtyLine::closeAll() {
  std::lock_guard lock(ptyMutex_);
  if (!slaveName_.empty() && linkTarget(path_) == slaveName_) unlink(path_.c_str());
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
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
