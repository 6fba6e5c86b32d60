#!/usr/bin/env python3
"""poll.py - watches data registers of a controller and logs every change.

    python3 poll.py [DEVICE] [--family fx|a] [--start N] [--count N]
                    [--interval SECONDS] [--polls N] [--verbose]

DEVICE is a serial device (/dev/ttyUSB0), a serial device server
(tcp://192.168.0.50:4001) or COM1..COM16; without it the environment
variable VELDRV_COM1 must name one. Needs the veldrv package
(pip install ./python) and the library (the Debian package, cmake --install,
or VELDRV_LIBRARY). Ends after --polls polls (0: until Ctrl-C); the exit
status is 0 when the last poll succeeded, 1 otherwise, 2 for bad usage.
"""

import argparse
import logging
import os
import sys
import time

import veldrv

log = logging.getLogger("poll")


def arguments():
    parser = argparse.ArgumentParser(description="Log changes of a controller's data registers.")
    parser.add_argument("device", nargs="?", default=os.environ.get("VELDRV_COM1") or None,
                        help="serial device, tcp://HOST:PORT or COMn (default: $VELDRV_COM1)")
    parser.add_argument("--family", choices=(veldrv.FX, veldrv.A_SERIES), default=veldrv.FX)
    parser.add_argument("--start", type=int, default=0, help="first data register (default 0)")
    parser.add_argument("--count", type=int, default=8, help="number of registers (default 8)")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between polls (default 1)")
    parser.add_argument("--polls", type=int, default=0, help="number of polls, 0 = until Ctrl-C")
    parser.add_argument("--verbose", action="store_true", help="log every poll, not only changes")
    args = parser.parse_args()
    if not args.device:
        parser.error("name a DEVICE or set VELDRV_COM1")
    if args.polls < 0 or args.interval < 0 or not 1 <= args.count <= 32767:
        parser.error("--polls and --interval take 0 or more, --count 1..32767")
    return args


def poll(link, args):
    """Polls until done; returns whether the last poll succeeded."""
    previous = None
    ok = False
    done = 0
    while args.polls == 0 or done < args.polls:
        if done:
            time.sleep(args.interval)
        done += 1
        try:
            values = link.read_words("D", args.start, args.count)
        except veldrv.VeldrvError as error:
            # The link stays usable after a failed transfer: log it and go on.
            # The reason names the device and what went wrong there.
            log.warning("poll %d: %s (%d)", done, error.reason or error.english, error.code)
            ok = False
            continue
        ok = True
        if previous is None:
            for i, value in enumerate(values):
                log.info("D%d = %d", args.start + i, value)
        else:
            for i, (old, new) in enumerate(zip(previous, values)):
                if old != new:
                    log.info("D%d changed %d -> %d", args.start + i, old, new)
        log.debug("poll %d: %s", done, values)
        previous = values
    return ok


def main():
    args = arguments()
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s %(levelname)s %(message)s")
    try:
        with veldrv.Link(args.device, args.family) as link:
            log.info("watching D%d..D%d on %s (%s)", args.start, args.start + args.count - 1,
                     args.device, args.family)
            return 0 if poll(link, args) else 1
    except veldrv.VeldrvError as error:
        log.error("cannot open %s: %s (%d)", args.device, error.reason or error.english, error.code)
    except (ValueError, OSError) as error:
        log.error("%s", error)
    except KeyboardInterrupt:
        log.info("stopped")
        return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
