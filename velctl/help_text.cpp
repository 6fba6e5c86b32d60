#include "options.h"

const char *HelpText() {
  return R"(Usage: velctl [options] read  ADDR COUNT
       velctl [options] write ADDR VALUE...
       velctl [options] poll  ADDR COUNT [--interval SECONDS] [--count N]
       velctl [options] dump  ADDR BYTES -o FILE
       velctl [options] load  ADDR FILE

Reads and writes the memory of an FX-series or A-series controller on a
serial port through the VELDRV library.

Where:
  -p, --port COMn        the port, COM1 to COM16 (default COM1)
  -d, --device PATH      the port's device: a path, or tcp://HOST:PORT; without
                         it the library's choice: $VELDRV_COMn, else
                         $VELDRV_DEVICE_DIR/COMn, else /dev/ttyS(n-1)
  -f, --family fx|a      FX-series (default) or A-series controller

ADDR is an area letter and a number, decimal or 0x hex:
  D100      data register 100 (16 bits)
  M0        marker byte 0: markers M0..M7
  X0        input byte 0 (also E0, I0; read only)
  Y0        output byte 0 (also A0, O0)
  S0x1000   controller memory at address 0x1000
With -t bits the number counts single bits: M13 is bit 5 of marker byte 1.

What:
  -t, --type TYPE        u8, u16, i16, u32, i32, f32, hex or bits
                         (default u16 for D, u8 for the others). u32, i32 and
                         f32 take two registers, low word first; hex is a
                         register (D) or a byte; bits are single markers,
                         inputs or outputs. Values to write are checked
                         against the type's range before anything is sent.
      --format FORMAT    text (default), csv or json
      --interval SECONDS poll: time from one sample to the next (default 1)
      --count N          poll: stop after N samples (default: at Ctrl-C)
  -o, --output FILE      dump: the file to write ("-": standard output)
      --trace            the library's trace on standard error (VELDRV_TRACE)
      --max-frame N      at most N bytes a frame, 1..254 (VELDRV_FRAME_BYTES)
  -q, --quiet            no progress bar, no confirmation on standard error
  -h, --help             this text
      --version          the version

Data goes to standard output, messages to standard error. On a terminal, a
transfer that takes more than about a second on the line shows a progress
bar. Ctrl-C ends poll after the transfer under way. Writing bits that do not
fill whole bytes reads those bytes first and writes them back.

Exit status: 0 success, 1 the port, the line or the controller failed,
2 bad usage (nothing was sent).

Examples:
  velctl read D100 3                        three data registers
  velctl -p COM2 -f a read -t bits M0 16    markers M0..M15, A-series on COM2
  velctl write D100 1234 -5 0x10            three registers
  velctl write -t f32 D200 3.25             a float in D200 and D201
  velctl write -t bits M13 1                set marker 13
  velctl --format json read -t i32 D10 2    {"address":"D10","type":"i32",...}
  velctl poll --interval 0.5 --count 10 D0 4
  velctl -d /dev/ttyUSB0 dump D0 2000 -o registers.bin
  velctl load D0 registers.bin
)";
}
