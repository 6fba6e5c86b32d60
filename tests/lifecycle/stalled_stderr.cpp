// VELDRV_TRACE=stderr with a standard error that nobody reads (a pipe whose
// reader never reads): the transfers go on as without a trace, the lines
// that do not fit are dropped whole, and once the pipe is read, the next
// line that gets through says how many were lost.
#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "hazard.h"

using namespace hazard;

namespace {

// Everything in the pipe now.
std::string Drain(int fd) {
  std::string text;
  char block[4096];
  ssize_t n;
  while ((n = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(n));
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  int errs[2];
  if (pipe2(errs, O_CLOEXEC) != 0 || fcntl(errs[0], F_SETFL, O_NONBLOCK) != 0) return 1;
  dup2(errs[1], STDERR_FILENO);  // read by no one until the transfers are done
  close(errs[1]);
  setenv("VELDRV_TRACE", "stderr", 1);

  const int h = VelOpen(0, 1);
  unsigned char buf[254];
  int failed = 0;
  double longest = 0;
  const double t0 = NowMs();
  // About 2.5 KB of trace each: many times what a pipe holds.
  for (int i = 0; i < 200; i++) {
    const double t = NowMs();
    failed += VelRdB(h, 'D', 0, sizeof buf, buf) != 0;
    if (NowMs() - t > longest) longest = NowMs() - t;
  }
  Say("200 reads, %d failed, %.0f ms, the longest %.0f ms", failed, NowMs() - t0, longest);

  const std::string before = Drain(errs[0]);
  failed = VelRdB(h, 'D', 0, 2, buf) != 0;
  VelClose(h);
  const std::string after = Drain(errs[0]);
  Say("then one more read, %d failed", failed);

  static const std::regex header(R"(^ *\d+\.\d (COM\d+|-) T\d+ .*$)");
  static const std::regex note(
      R"(^ *\d+\.\d - T\d+ (\d+) trace lines dropped: the output did not take them$)");
  int broken = 0;
  std::istringstream all(before + after);
  for (std::string text; std::getline(all, text);) broken += !std::regex_match(text, header);
  std::smatch m;
  const std::string first = after.substr(0, after.find('\n'));
  if (std::regex_match(first, m, note))
    Say("whole lines (%d broken); the next line says %s were dropped", broken,
        std::stoul(m[1]) > 0 ? "some" : "0");
  else
    Say("whole lines (%d broken); the next line is: %s", broken, first.c_str());
  return 0;
}
