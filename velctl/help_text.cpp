#include "options.h"

const char *HelpText() {
  return R"(Usage: velctl [options] read  ADDR COUNT
       velctl [options] write ADDR VALUE...
       velctl [options] poll  ADDR COUNT [--interval SECONDS] [--count N]
       velctl [options] dump  ADDR BYTES -o FILE
       velctl [options] load  ADDR FILE
       velctl [options] info
       velctl [options] probe
       velctl [options] run   FILE
       velctl help

Reads and writes the memory of an FX-series or A-series controller on a
serial port through the VELDRV library. info shows an FX controller's model,
memory and RUN/STOP; probe says which family answers on the port (fx or a on
standard output); run runs the commands of FILE ("-": standard input), one a
line without "velctl" and the port options, over one open of the port.

Where:
  -p, --port COMn        the port, COM1 to COM16 (default COM1)
  -d, --device PATH      the port's device: a path (/dev/ttyUSB0),
                         tcp://HOST:PORT (a device server's raw TCP port) or
                         rfc2217://HOST:PORT (its RFC 2217 port, through
                         which the library sets the line and RTS); without
                         it the library's choice:
                         $VELDRV_COMn, else $VELDRV_DEVICE_DIR/COMn, else
                         /dev/ttyS(n-1)
  -f, --family fx|a      FX-series (default) or A-series controller

ADDR with -f fx is an FX device as FX programs name it:
  X0..X377    inputs, numbered in octal (X0..X7, X10..X17, ...); read only
  Y0..Y377    outputs, in octal
  M0..M1023   markers; M8000..M8255 special markers (M8000: running)
  S0..S999    state relays
  T0..T255    timers: current values, 16 bits; contacts with -t bits or u8
  C0..C255    counters: current values, C0..C199 16 bits, C200..C255 32 bits;
              contacts with -t bits or u8
  D0..D7999   data registers; D8000..D8255 special registers
  @ADDRESS    controller memory at a raw address (@0x1000), both families
Bit devices are read and written as single bits; other types take whole
bytes from the first device of a byte on (M8, X10). Writing single bits reads
their bytes and writes them back: a change the controller's program makes to
the other bits of those bytes in between is lost. With -f a, ADDR is an area
letter and a number, decimal or 0x hex: D100 (data register), X0 (also E0,
I0; input byte), Y0 (also A0, O0; output byte), M0 (marker byte; with
-t bits M13 is bit 5 of marker byte 1), S0x8800 (raw address).

What:
  -t, --type TYPE        u8, u16, i16, u32, i32, f32, hex or bits (default:
                         bits for bit devices, u16 for registers, timers and
                         counters, i32 for C200..C255, u8 for bytes). u32, i32
                         and f32 take two registers, low word first. Values to
                         write are checked against the type before anything is
                         sent; an f32 is a decimal number (not NaN, infinite or
                         too small for a normal f32) or its bits in hex
                         (0x7FC00000), the form velctl prints such values in.
      --format FORMAT    text (default), csv or json
      --interval SECONDS poll: time from one sample to the next (default 1)
      --count N          poll: stop after N samples (default: at Ctrl-C)
  -o, --output FILE      dump: the file to write ("-": standard output); it
                         is replaced only when everything was read and written
      --trace            the library's trace on standard error (VELDRV_TRACE)
      --max-frame N      at most N bytes a frame, 1..254 (VELDRV_FRAME_BYTES)
  -q, --quiet            no progress bar, no confirmation on standard error
  -h, --help             this text
      --version          the version
      --                 ends the options: what follows are operands

Data goes to standard output, messages to standard error. On a terminal, a
transfer that takes more than about a second on the line shows a progress
bar. Ctrl-C ends poll (and run) after the transfer under way.

Exit status: 0 success, 1 the port, the line, the controller or standard
output failed, 2 bad usage (nothing was sent).

Examples:
  velctl read D100 3                        three data registers
  velctl read M100 16                       markers M100..M115, bit by bit
  velctl read -t u8 X0 2                    inputs X0..X17 as two bytes
  velctl write -t i16 D100 1234 -5 0x10     three registers
  velctl write -t f32 D200 3.25             a float in D200 and D201
  velctl write M13 1                        set marker M13
  velctl read C200 2                        two 32-bit counters
  velctl --format json read -t i32 D10 2    {"address":"D10","type":"i32",...}
  velctl poll --interval .2 --count 3 T0 1  timer T0, three samples
  velctl info                               model, memory size, RUN or STOP
  velctl -p COM2 -f a read -t bits M0 16    markers M0..M15, A-series on COM2
  velctl dump D0 2000 -o registers.bin      D0..D999 into a file
  velctl load D0 registers.bin              and back
  velctl read -t hex @0x0E02 4              raw controller memory
  velctl probe                              which family answers on COM1
  printf 'read D0 2\nread M0 8\n' | velctl run -
)";
}
