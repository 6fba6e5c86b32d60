// uart_guest: runs inside the virtual machine of run_uart_tests.sh, where the
// guest's 8250 UART is the line under test. It drives one controller family
// through the six exports on COM1 (the guest's init names the device in
// VELDRV_COM1) and prints one line per step for uart_rig.py:
//
//   step NAME rc=N [match=yes|no] [ms=T]
//
// Around the run it writes marks into the UART's scratch register, which
// changes nothing on the line, so that the host finds the run in QEMU's
// register trace. Data patterns and operands are the ones uart_rig.py
// computes the expected frames from.
#include <sys/io.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "veldrv.h"

namespace {

constexpr uint8_t kMarkStart = 0xA1;
constexpr uint8_t kMarkEnd = 0xA2;
constexpr int kSpan = 300;  // bytes or words: more than one 254-byte frame

uint8_t WordPattern(int k) {
  return static_cast<uint8_t>(k * 37 + 11);
}
uint8_t BytePattern(int k) {
  return static_cast<uint8_t>(k * 53 + 200);
}
// The memory image velsim serves (--memory), byte at controller address a.
uint8_t MemoryImage(int a) {
  return static_cast<uint8_t>(a * 29 + (a >> 8) * 7 + 1);
}

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void Report(const char *name, int rc) {
  std::printf("step %s rc=%d\n", name, rc);
}

void Report(const char *name, int rc, const std::vector<uint8_t> &got, uint8_t (*pattern)(int),
            int from = 0) {
  bool match = true;
  for (size_t k = 0; k < got.size(); ++k) match = match && got[k] == pattern(from + static_cast<int>(k));
  std::printf("step %s rc=%d match=%s\n", name, rc, match ? "yes" : "no");
}

// Marks in the scratch register (offset 7) of the UART at `base`.
bool Mark(unsigned base, uint8_t value) {
  if (base == 0) return true;
  if (ioperm(base + 7, 1, 1) != 0) {
    std::perror("uart_guest: ioperm");
    return false;
  }
  outb(value, base + 7);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  bool fx = false;
  unsigned markBase = 0;
  bool familyGiven = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--family") == 0 && i + 1 < argc) {
      ++i;
      fx = std::strcmp(argv[i], "fx") == 0;
      familyGiven = fx || std::strcmp(argv[i], "a") == 0;
    } else if (std::strcmp(argv[i], "--mark-port") == 0 && i + 1 < argc) {
      markBase = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
    } else {
      familyGiven = false;
      break;
    }
  }
  // The device must be named on purpose: this program belongs inside the
  // virtual machine, never on a host with a real /dev/ttyS0.
  const char *device = std::getenv("VELDRV_COM1");
  if (!familyGiven || !device || !*device) {
    std::fprintf(stderr,
                 "usage: VELDRV_COM1=DEVICE uart_guest --family fx|a [--mark-port BASE]\n"
                 "Runs inside the UART test machine of tests/uart/run_uart_tests.sh.\n");
    return 2;
  }

  if (!Mark(markBase, kMarkStart)) return 1;
  const int h = VelOpen(0, fx ? 1 : 0);
  Report("open", h);
  if (h < 0) return 1;

  std::vector<uint8_t> words(2 * kSpan), bytes(kSpan), back;
  for (int k = 0; k < 2 * kSpan; ++k) words[k] = WordPattern(k);
  for (int k = 0; k < kSpan; ++k) bytes[k] = BytePattern(k);

  Report("write-words", VelWrW(h, 'D', 100, kSpan, words.data()));
  back.assign(2 * kSpan, 0);
  Report("read-words", VelRdW(h, 'D', 100, kSpan, back.data()), back, WordPattern);
  Report("write-bytes", VelWrB(h, 'M', 10, kSpan, bytes.data()));
  back.assign(kSpan, 0);
  Report("read-bytes", VelRdB(h, 'M', 10, kSpan, back.data()), back, BytePattern);
  back.assign(40, 0);
  Report("read-raw", VelRdB(h, 'S', 0x3000, 40, back.data()), back, MemoryImage, 0x3000);

  // The controller stays silent for this one exchange.
  back.assign(4, 0);
  const double t0 = NowMs();
  const int silent = VelRdW(h, 'D', 0, 2, back.data());
  std::printf("step silent rc=%d ms=%.1f\n", silent, NowMs() - t0);

  back.assign(4, 0);
  Report("read-after-silent", VelRdW(h, 'D', 100, 2, back.data()), back, WordPattern);
  Report("close", VelClose(h));
  std::fflush(stdout);
  return Mark(markBase, kMarkEnd) ? 0 : 1;
}
