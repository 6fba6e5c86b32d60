// A program run by a test with its standard input and output on pipes or on
// a pseudo-terminal, read and written while it runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;

class ChildProcess {
 public:
  enum class Line {
    kPipes,  // standard input and output; standard error stays the test's
    // Standard input, output and error on a pseudo-terminal in canonical mode without echo and without output
    // processing: input arrives by lines, output bytes are exact.
    kTerminal,
  };

  struct Setup {
    std::vector<std::string> argv;
    // Added to (or replacing in) the test's own environment.
    std::vector<std::pair<std::string, std::string>> env;
    Line line = Line::kPipes;
    // Runs the program as leader of a new process group (for Ctrl-C tests).
    bool ownGroup = false;
    // kPipes: standard error on a pipe of its own, collected in Errors().
    bool collectErrors = false;
  };

  explicit ChildProcess(const Setup &setup);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  void Send(std::string_view bytes);
  // Ends the program's input: closes the pipe, or sends the terminal's
  // end-of-file character at the start of a line.
  void EndInput();

  // Reads output until text appears after the last text waited for.
  bool WaitFor(std::string_view text, std::chrono::milliseconds timeout = 10s);
  // True when no output arrives for the given time.
  bool StaysQuiet(std::chrono::milliseconds time);
  // Waits for the program's end and returns its exit status (128 + signal
  // for a signal); -1 when it has not ended in time (it is then killed).
  int WaitExit(std::chrono::milliseconds timeout = 10s);

  const std::string &Output() const {
    return output_;
  }
  // Standard error, with Setup::collectErrors.
  const std::string &Errors() const {
    return errors_;
  }
  pid_t Pid() const {
    return pid_;
  }

 private:
  // Reads what is there within the time; false when nothing came.
  bool ReadSome(std::chrono::milliseconds timeout);

  Line line_;
  pid_t pid_ = -1;
  int inFd_ = -1;   // to the program
  int outFd_ = -1;  // from the program
  int slaveFd_ = -1;
  int errFd_ = -1;  // from the program's standard error, -1 once it ended
  bool outputEnded_ = false;
  bool exited_ = false;
  int status_ = -1;
  std::string output_;
  std::string errors_;
  size_t searchFrom_ = 0;
};

// A private temporary folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &Path() const {
    return path_;
  }

 private:
  std::string path_;
};
