#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "library_settings.h"

namespace {

void Fail(const char *what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::vector<std::string> MergedEnvironment(const std::vector<std::pair<std::string, std::string>> &changes) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string_view entry(*e);
    // The library's settings of the shell running the tests (a VELDRV_COM1
    // naming the user's adapter) never reach a program under test: each
    // test sets what it needs.
    if (IsLibrarySetting(entry)) continue;
    bool replaced = false;
    for (const auto &[name, value] : changes) {
      if (entry.substr(0, name.size() + 1) == name + "=") replaced = true;
    }
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto &[name, value] : changes) env.push_back(name + "=" + value);
  return env;
}

}  // namespace

ChildProcess::ChildProcess(const Setup &setup) : line_(setup.line) {
  int childIn = -1, childOut = -1, childErr = -1;
  if (line_ == Line::kPipes) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe2");
    childIn = in[0];
    inFd_ = in[1];
    outFd_ = out[0];
    childOut = out[1];
    if (setup.collectErrors) {
      int err[2];
      if (pipe2(err, O_CLOEXEC) != 0) Fail("pipe2");
      errFd_ = err[0];
      childErr = err[1];
    }
  } else {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Fail("posix_openpt");
    slaveFd_ = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0) Fail("open pty slave");
    termios t;
    tcgetattr(slaveFd_, &t);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    t.c_lflag |= ICANON;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    tcsetattr(slaveFd_, TCSANOW, &t);
    inFd_ = outFd_ = master;
    childIn = childOut = slaveFd_;
  }

  std::vector<std::string> env = MergedEnvironment(setup.env);
  std::vector<char *> argv, envp;
  for (const std::string &a : setup.argv) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    if (setup.ownGroup) setpgid(0, 0);
    dup2(childIn, 0);
    dup2(childOut, 1);
    if (setup.line == Line::kTerminal) dup2(childOut, 2);  // a terminal shows both
    if (childErr >= 0) dup2(childErr, 2);
    signal(SIGPIPE, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (setup.ownGroup) setpgid(pid_, pid_);  // no race with the child's first steps
  if (line_ == Line::kPipes) {
    close(childIn);
    close(childOut);
    if (childErr >= 0) close(childErr);
  }
  // The pseudo-terminal's slave stays open here, so reading the master never
  // fails with EIO when the program ends.
}

ChildProcess::~ChildProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (inFd_ >= 0 && inFd_ != outFd_) close(inFd_);
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
  if (slaveFd_ >= 0) close(slaveFd_);
}

void ChildProcess::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(inFd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write to program");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void ChildProcess::EndInput() {
  if (line_ == Line::kPipes) {
    close(inFd_);
    inFd_ = -1;
  } else {
    termios t;
    tcgetattr(slaveFd_, &t);
    Send(std::string(1, static_cast<char>(t.c_cc[VEOF])));
  }
}

bool ChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  // A descriptor of -1 is left out by poll().
  pollfd p[2] = {{outputEnded_ ? -1 : outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (p[0].fd < 0 && p[1].fd < 0) return false;
  if (poll(p, 2, static_cast<int>(timeout.count())) <= 0) return false;
  bool got = false;
  char buffer[4096];
  if (p[0].revents) {
    ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<size_t>(n));
      got = true;
    } else if (n == 0 || errno != EINTR) {
      outputEnded_ = true;
    }
  }
  if (p[1].revents) {
    ssize_t n = read(errFd_, buffer, sizeof buffer);
    if (n > 0) {
      errors_.append(buffer, static_cast<size_t>(n));
      got = true;
    } else if (n == 0 || errno != EINTR) {
      close(errFd_);
      errFd_ = -1;
    }
  }
  return got;
}

bool ChildProcess::WaitFor(std::string_view text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t at = output_.find(text, searchFrom_);
    if (at != std::string::npos) {
      searchFrom_ = at + text.size();
      return true;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms || outputEnded_) return false;
    ReadSome(left);
  }
}

bool ChildProcess::StaysQuiet(std::chrono::milliseconds time) {
  size_t before = output_.size();
  auto deadline = std::chrono::steady_clock::now() + time;
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms || outputEnded_) break;
    ReadSome(left);
  }
  return output_.size() == before;
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      exited_ = true;
      return -1;
    }
    ReadSome(20ms);
  }
  while (ReadSome(50ms)) {
  }
  return status_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velcon-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) Fail("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
