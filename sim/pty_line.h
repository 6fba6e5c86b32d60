// A simulated controller behind a pseudo-terminal that the library opens as DIR/COMn.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>

#include "line_server.h"

namespace velsim {

// What to do when DIR/COMn exists already: it may be a user's link to a serial adapter or the link of
// another simulator.
enum class ExistingLink {
  Refuse,   // throw LinkExists and leave it alone
  Replace,  // replace a symbolic link (never a file or a folder)
};

// DIR/COMn exists and is not replaced.
class LinkExists : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Creates a pseudo-terminal pair, links DIR/COMn to its slave and serves a controller on the master.
// It keeps a slave descriptor open itself, so the master never sees a hang-up when the library closes
// the port, and the slave's settings (what the library programmed) stay readable. It removes DIR/COMn
// only while that is still the link it made (pointing to its own terminal).
class PtyLine : public LineServer {
 public:
  // com is 1-based (COM1 is the library's port 0). DIR is created if missing. Throws LinkExists if
  // DIR/COMn exists and may not be replaced, std::runtime_error on other failures.
  PtyLine(Family family, const std::string &dir, int com, ExistingLink existing = ExistingLink::Refuse);
  ~PtyLine() override;

  std::string path() const;       // DIR/COMn
  std::string slaveName() const;  // /dev/pts/N

  // The slave's termios: what the library last programmed as far as a pseudo-terminal keeps it
  // (speed, VMIN/VTIME, raw flags; Linux forces CS8 without parity on a pseudo-terminal).
  termios lastSettings() const;
  // 9600 for B9600 etc.; 0 if unknown.
  static int baudOf(const termios &settings);

  // stop() (inherited) makes the line silent; restart() serves again on the same pseudo-terminal.
  void restart();
  // Device loss: stops serving, closes both ends (the library's descriptor sees a hang-up) and removes
  // DIR/COMn, so opening it fails.
  void hangup();
  // A new pseudo-terminal behind the same DIR/COMn, served again. Memory, faults and trace are kept.
  void reopen();

 protected:
  int checkFd() const override;
  std::chrono::milliseconds checkPeriod() const override;
  void lineCheck() override;

 private:
  void open();
  void link(const std::string &slaveName);
  void closeAll();

  std::string dir_;
  std::string path_;
  ExistingLink existing_;
  mutable std::mutex ptyMutex_;
  std::string slaveName_;
  int master_ = -1;
  int slave_ = -1;
  dev_t linkDev_ = 0;  // identity of the link made, to remove only that one
  ino_t linkIno_ = 0;
  int closeWatch_ = -1;  // inotify: the slave was closed by someone
  // After a close, the lock of the closing descriptor may still be held for a moment: check again
  // soon until then.
  std::chrono::steady_clock::time_point retryUntil_{};
};

}  // namespace velsim
