// A simulated controller behind a pseudo-terminal that the library opens as DIR/COMn.
#pragma once

#include <termios.h>

#include <mutex>
#include <string>

#include "line_server.h"

namespace velsim {

// Creates a pseudo-terminal pair, links DIR/COMn to its slave and serves a controller on the master.
// It keeps a slave descriptor open itself, so the master never sees a hang-up when the library closes
// the port, and the slave's settings (what the library programmed) stay readable.
class PtyLine : public LineServer {
 public:
  // com is 1-based (COM1 is the library's port 0). DIR is created if missing. Throws on failure.
  PtyLine(Family family, const std::string &dir, int com);
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

 private:
  void open();
  void closeAll();

  std::string dir_;
  std::string path_;
  mutable std::mutex ptyMutex_;
  std::string slaveName_;
  int master_ = -1;
  int slave_ = -1;
};

}  // namespace velsim
