#!/usr/bin/env python3
"""What ser2net does with the RTS changes of an A-series frame on an
rfc2217:// port, as far as a pseudo-terminal lets it be seen.

Runs a simulated A-series controller on a pseudo-terminal (velsim --dir),
ser2net with an RFC 2217 port on it (a private configuration on a free
loopback port) under strace, and reads from the controller with velctl a
number of times. strace records, with their times, what ser2net received
from the network (the library's SET-CONTROL commands and bytes) and what it
did on the serial side (writes, modem-line and drain ioctls). A
pseudo-terminal has no modem lines, so what ser2net would do after asking
for them (TIOCMGET fails there) cannot be seen; the byte times are those of
the writes into the terminal, not of the characters on a wire.

    bench/ser2net_rts.py [--build DIR] [--frames N]

Needs ser2net, strace (and the right to trace a child process), and velsim
and velctl built in DIR (default: build). Prints the timeline of one frame
and the spacing over all frames; exit status 77 when something it needs is
missing. Not a pass/fail test: strace slows ser2net down, so the figures
are what ser2net did while traced.
"""

import argparse
import codecs
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

IAC, SB, SE = 255, 250, 240
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(line.split()[1] == want and line.split()[3] == "0A" for line in list(f)[1:])


def unescape(text):
    return codecs.escape_decode(text.encode("latin1"))[0]


def telnet_items(data, state):
    """The library's commands and bytes in one network read: ('RTS off'),
    ('RTS on'), ('purge'), ('data', bytes). state carries a command cut
    between reads."""
    items, i, buf = [], 0, state.get("rest", b"") + data
    state["rest"] = b""
    run = bytearray()
    while i < len(buf):
        b = buf[i]
        if b != IAC:
            run.append(b)
            i += 1
            continue
        if i + 1 >= len(buf):
            state["rest"] = buf[i:]
            break
        if buf[i + 1] == IAC:
            run.append(IAC)
            i += 2
            continue
        if run:
            items.append(("data", bytes(run)))
            run = bytearray()
        if buf[i + 1] == SB:
            end = buf.find(bytes([IAC, SE]), i + 2)
            if end < 0:
                state["rest"] = buf[i:]
                break
            sub = buf[i + 2 : end]
            if sub[:2] == bytes([44, 5]) and sub[2:3] in (b"\x0b", b"\x0c"):
                items.append(("RTS on" if sub[2] == 11 else "RTS off",))
            elif sub[:2] == bytes([44, 12]):
                items.append(("purge",))
            else:
                items.append(("command",))
            i = end + 2
        else:
            i += 3 if buf[i + 1] in (251, 252, 253, 254) else 2
    if run:
        items.append(("data", bytes(run)))
    return items


LINE = re.compile(r"^(\d+)\s+(\d+\.\d+) (\w+)\((\d+)?(.*)$")


def parse(path, device):
    """Timeline of (seconds, where, what) from strace's log."""
    net = dev = None
    events, state = [], {}
    for line in open(path, encoding="latin1"):
        m = LINE.match(line)
        if not m:
            continue
        t, call, fd, rest = float(m.group(2)), m.group(3), m.group(4), m.group(5)
        result = rest.rsplit("= ", 1)[-1].strip() if "= " in rest else ""
        if call in ("accept", "accept4") and result.split()[0].isdigit():
            net = result.split()[0]
        elif call == "openat" and device in rest and result.split()[0].isdigit():
            dev = result.split()[0]
        elif fd is None:
            continue
        elif fd == net and call in ("read", "recvfrom", "recvmsg"):
            s = re.search(r'"((?:[^"\\]|\\.)*)"', rest)
            if s:
                for item in telnet_items(unescape(s.group(1)), state):
                    events.append((t, "net", item))
        elif fd == dev and call in ("write", "writev"):
            data = b"".join(unescape(s) for s in re.findall(r'"((?:[^"\\]|\\.)*)"', rest))
            events.append((t, "dev", ("write", data)))
        elif fd == dev and call == "ioctl":
            name = rest.split(",")[1].strip()
            events.append((t, "dev", ("ioctl", name, result)))
    return events


def frames(events):
    """Per A-series frame: the events from its purge (or first 'RTS off') to its request."""
    out, current = [], None
    for t, where, item in events:
        starts = where == "net" and item[0] in ("purge", "RTS off")
        if starts and (current is None or current["done"]):
            current = {"events": [], "done": False}
            out.append(current)
        if current is not None and not current["done"]:
            current["events"].append((t, where, item))
            if where == "dev" and item[0] == "write" and len(item[1]) > 2:
                current["done"] = True  # the request went to the line
    return [f["events"] for f in out if f["done"]]


def describe(item):
    if item[0] == "data":
        return "received %d byte(s) %s" % (len(item[1]), item[1][:12].hex(" ").upper())
    if item[0] == "write":
        return "write to the terminal: %s" % item[1][:12].hex(" ").upper()
    if item[0] == "ioctl":
        return "ioctl %s = %s" % (item[1], item[2])
    return "received SET-CONTROL " + item[0] if item[0].startswith("RTS") else "received " + item[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--frames", type=int, default=20)
    args = parser.parse_args()
    velsim = os.path.join(args.build, "bin", "velsim")
    velctl = os.path.join(args.build, "bin", "velctl")
    ser2net = shutil.which("ser2net") or next(
        (p for p in ("/usr/sbin/ser2net", "/usr/bin/ser2net") if os.access(p, os.X_OK)), None)
    strace = shutil.which("strace")
    for name, path in (("ser2net", ser2net), ("strace", strace), ("velsim", velsim), ("velctl", velctl)):
        if not path or not os.access(path, os.X_OK):
            print("ser2net_rts: %s is missing" % name, file=sys.stderr)
            return 77

    work = tempfile.mkdtemp(prefix="veldrv-ser2net-rts-")
    procs = []
    try:
        sim = subprocess.Popen([velsim, "--family", "a", "--dir", work, "--com", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        procs.append(sim)
        sim.stdout.readline()
        device = os.path.join(work, "COM1")
        port = free_port()
        config = os.path.join(work, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("%%YAML 1.1\n---\nconnection: &plc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,9600o81,local\n" % (port, device))
        log = os.path.join(work, "strace.log")
        server = subprocess.Popen(
            [strace, "-f", "-ttt", "-x", "-s", "512", "-o", log,
             "-e", "trace=openat,accept,accept4,read,recvfrom,recvmsg,write,writev,ioctl",
             ser2net, "-n", "-d", "-u", "-c", config],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(server)
        deadline = time.monotonic() + 10
        while not listening(port):
            if time.monotonic() > deadline or server.poll() is not None:
                print("ser2net_rts: ser2net did not start under strace (may this process trace?)",
                      file=sys.stderr)
                return 77
            time.sleep(0.05)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VELDRV_")}
        env["VELDRV_DEVICE_DIR"] = work
        # One open, many frames: the first runs the wake-up handshake.
        script = "".join("read D0 2\n" for _ in range(args.frames))
        run = subprocess.run([velctl, "-f", "a", "-d", "rfc2217://127.0.0.1:%d" % port, "run", "-"],
                             input=script, env=env, capture_output=True, text=True, timeout=120)
        if run.returncode != 0:
            print(run.stderr, file=sys.stderr)
            return 1
        time.sleep(0.3)
    finally:
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    found = frames(parse(log, device))
    shutil.rmtree(work, ignore_errors=True)
    if not found:
        print("ser2net_rts: no A-series frame found in strace's log", file=sys.stderr)
        return 1
    print("ser2net %s under strace, A-series reads of 2 bytes on a pseudo-terminal, %d frames"
          % (subprocess.run([ser2net, "-v"], capture_output=True, text=True).stdout.split()[-1], len(found)))
    print()
    print("One frame (the second: session prefix only), ms from the SET-CONTROL that drops RTS:")
    one = found[1] if len(found) > 1 else found[0]
    t0 = next(t for t, where, item in one if item[0] == "RTS off")
    for t, where, item in one:
        print("  %7.3f  %-3s %s" % ((t - t0) * 1000, where, describe(item)))
    print()
    # Spacing over all frames after the first.
    gaps = {"RTS off received -> session byte written": [], "session byte written -> RTS on received": [],
            "RTS on received -> request written": []}
    modem, drains = set(), 0
    for f in found[1:] or found:
        t_off = next(t for t, where, item in f if item[0] == "RTS off")
        writes = [(t, item) for t, where, item in f if where == "dev" and item[0] == "write"]
        ons = [t for t, where, item in f if where == "net" and item[0] == "RTS on"]
        if len(writes) >= 2 and ons:
            gaps["RTS off received -> session byte written"].append(writes[0][0] - t_off)
            gaps["session byte written -> RTS on received"].append(ons[0] - writes[0][0])
            gaps["RTS on received -> request written"].append(writes[-1][0] - ons[0])
        last = None  # what the network brought last: the ioctls that follow are its
        for t, where, item in f:
            if where == "net":
                last = item[0]
            elif item[0] == "ioctl" and item[1] in ("TCSBRK", "TIOCOUTQ", "TIOCSERGETLSR", "TCSBRKP"):
                drains += 1
            elif item[0] == "ioctl" and item[1] == "TCFLSH":
                pass  # PURGE-DATA's, which comes in one piece with the RTS change after it
            elif item[0] == "ioctl" and last and last.startswith("RTS"):
                modem.add("%s = %s" % (item[1], item[2]))
    print("Spacing (median, min..max ms):")
    for name, values in gaps.items():
        if values:
            ms = [v * 1000 for v in values]
            print("  %-45s %6.3f  (%.3f..%.3f)" % (name, statistics.median(ms), min(ms), max(ms)))
    print()
    print("Serial-side calls for an RTS change: %s" % (", ".join(sorted(modem)) or "none"))
    print("Waits for the output to drain (tcdrain, TIOCOUTQ, TIOCSERGETLSR) around them: %d" % drains)
    return 0


if __name__ == "__main__":
    sys.exit(main())
