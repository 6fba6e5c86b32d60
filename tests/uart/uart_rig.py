#!/usr/bin/env python3
"""Runs uart_guest in a QEMU machine per controller family and checks the line.

Called by run_uart_tests.sh with the kernel and initramfs it prepared. Per
family: QEMU starts paused with the guest's COM1 on a pseudo-terminal, velsim
serves that pseudo-terminal, the guest runs uart_guest on its 8250 UART and
powers off. The checks read QEMU's trace of every UART register access
(transmitted bytes, line control, divisor latch, modem control) with host
time stamps, velsim's trace of the frames it decoded, and the guest's report.
Prints one line per check and a closing "N passed, N failed" line.
"""

import argparse
import collections
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# What uart_guest does (see uart_guest.cpp), to compute the expected frames.
SPAN = 300
SILENT_EXCHANGE = 12  # 3 + 3 + 2 + 2 + 1 frames come first
SESSION_BYTE = 0x5C
MARK_START, MARK_END = 0xA1, 0xA2
FRAME = 254


def word_pattern(k):
    return (k * 37 + 11) & 0xFF


def byte_pattern(k):
    return (k * 53 + 200) & 0xFF


def memory_image(a):
    return (a * 29 + (a >> 8) * 7 + 1) & 0xFF


FAMILIES = {
    # name: (velsim family, LCR, line settings as QEMU reports them, D base, M base)
    "fx": ("FX", 0x1A, "baudrate=9600 parity='E' data=7 stop=1", 0x1000, 0x0100),
    "a": ("A", 0x0B, "baudrate=9600 parity='O' data=8 stop=1", 0x8800, 0x8400),
}
DIVISOR = 12  # 115200 / 9600
PAUSE_MS = 3.0
MCR_DTR, MCR_RTS = 0x01, 0x02


# ---------------------------------------------------------------- expected frames


def transfers(family):
    """The guest's transfers in order: (kind, address, data or count, silent)."""
    _, _, _, d, m = FAMILIES[family]
    words = bytes(word_pattern(k) for k in range(2 * SPAN))
    data = bytes(byte_pattern(k) for k in range(SPAN))
    return [
        ("write", d + 200, words, False),
        ("read", d + 200, 2 * SPAN, False),
        ("write", m + 10, data, False),
        ("read", m + 10, SPAN, False),
        ("read", 0x3000, 40, False),
        ("read", d, 4, True),
        ("read", d + 200, 4, False),
    ]


def frames(family):
    """The frames of the guest's transfers: (kind, address, n, data, silent)."""
    out = []
    for kind, address, what, silent in transfers(family):
        total = len(what) if kind == "write" else what
        for offset in range(0, total, FRAME):
            n = min(FRAME, total - offset)
            data = what[offset : offset + n] if kind == "write" else b""
            out.append((kind, (address + offset) & 0xFFFF, n, data, silent))
    return out


def hex_ascii(value):
    return b"%02X" % value


def fx_request(kind, address, n, data):
    body = (b"0" if kind == "read" else b"1") + hex_ascii(address >> 8) + hex_ascii(address & 0xFF)
    body += hex_ascii(n) + b"".join(hex_ascii(x) for x in data) + b"\x03"
    return b"\x02" + body + hex_ascii(sum(body) & 0xFF)


def a_request(kind, address, n, data):
    length = 7 + (len(data) if kind == "write" else 0)
    frame = bytes([length & 0xFF, length >> 8, 0xFF, 0x02 if kind == "read" else 0x04])
    frame += bytes([address & 0xFF, address >> 8, 0x00, n]) + data
    return frame + bytes([sum(frame) & 0xFF])


def expected_wire(family):
    """Every byte the library must send, and the bytes it sends with RTS dropped."""
    wire, rts_low = bytearray(), []
    need_handshake = True
    for kind, address, n, data, silent in frames(family):
        if family == "fx":
            # A silent controller gives no ACK to the ENQ; nothing more is sent.
            wire += b"\x05" + (b"" if silent else fx_request(kind, address, n, data))
            continue
        if need_handshake:
            wire += bytes([0xAA, 0xB0])
            rts_low.append(0xAA)
        wire += bytes([SESSION_BYTE]) + a_request(kind, address, n, data)
        rts_low.append(SESSION_BYTE)
        need_handshake = silent  # the frame after a failure shakes hands again
    return bytes(wire), rts_low


# ---------------------------------------------------------------- decoding the UART


def hexlist(data, limit=16):
    text = " ".join("%02X" % x for x in data[:limit])
    return text + (" ..." if len(data) > limit else "")


def decode_fx(wire):
    """Frames in the bytes sent, in velsim's words ("FX read 0x10C8 n=254")."""
    out, i = [], 0

    def hexval(at, chars):
        return int(wire[at : at + chars].decode("ascii"), 16)

    while i < len(wire):
        if wire[i] != 0x05:
            return out + ["undecodable byte %02X at %d" % (wire[i], i)]
        if i + 1 >= len(wire) or wire[i + 1] != 0x02:
            out.append("FX ENQ")
            i += 1
            continue
        try:
            cmd, address, n = wire[i + 2], hexval(i + 3, 4), hexval(i + 7, 2)
            if cmd == 0x30:
                out.append("FX read 0x%04X n=%d" % (address, n))
                i += 12
            else:
                data = bytes(hexval(i + 9 + 2 * k, 2) for k in range(n))
                out.append("FX write 0x%04X n=%d %s" % (address, n, hexlist(data)))
                i += 12 + 2 * n
        except (ValueError, UnicodeDecodeError):
            return out + ["undecodable frame at %d" % i]
    return out


def decode_a(wire):
    out, i = [], 0
    while i < len(wire):
        if wire[i : i + 2] == b"\xaa\xb0":
            out.append("A handshake")
            i += 2
            continue
        frame = wire[i + 1 :]  # after the session prefix
        if len(frame) < 9:
            return out + ["undecodable bytes at %d" % i]
        address, n = frame[4] | frame[5] << 8, frame[7]
        if frame[3] == 0x02:
            out.append("A read 0x%04X n=%d" % (address, n))
            i += 1 + 9
        else:
            out.append("A write 0x%04X n=%d %s" % (address, n, hexlist(frame[8 : 8 + n])))
            i += 1 + 9 + n
    return out


def velsim_frames(lines):
    """velsim --trace lines without the answers: "FX read 0x10C8 n=254"."""
    out = []
    for line in lines:
        if line.startswith("velsim:") or " -> " not in line:
            continue
        out.append(" ".join(line.split(" -> ")[0].split()))
    return out


TRACE_LINE = re.compile(r"^\d+@(\d+)\.(\d+):(serial_write|serial_read|serial_update_parameters) (.*)$")
ACCESS = re.compile(r"(?:write|read) addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")

# One register access of the guest, with the UART's state after it: a byte
# sent ("tx"), received ("rx"), a modem control write ("mcr") or a mark in the
# scratch register ("mark"); t in seconds of host time; params is QEMU's own
# reading of the line settings.
Event = collections.namedtuple("Event", "t kind value lcr divisor mcr params")


def uart_events(trace_path):
    """Replays QEMU's trace of the 8250's registers."""
    lcr = dll = dlm = mcr = 0
    params = ""
    events = []
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = TRACE_LINE.match(line.strip())
            if not m:
                continue
            t = int(m.group(1)) + int(m.group(2)) / 1e6
            if m.group(3) == "serial_update_parameters":
                params = m.group(4).strip()
                continue
            a = ACCESS.match(m.group(4))
            if not a:
                continue
            addr, val = int(a.group(1), 16), int(a.group(2), 16)
            dlab = lcr & 0x80  # offsets 0 and 1 are the divisor latch while set
            kind = None
            if m.group(3) == "serial_read":
                kind = "rx" if addr == 0 and not dlab else None
            elif addr == 0 and dlab:
                dll = val
            elif addr == 0:
                kind = "tx"
            elif addr == 1 and dlab:
                dlm = val
            elif addr == 3:
                lcr = val
            elif addr == 4:
                mcr = val
                kind = "mcr"
            elif addr == 7:
                kind = "mark"
            if kind:
                events.append(Event(t, kind, val, lcr, dll | dlm << 8, mcr, params))
    return events


# ---------------------------------------------------------------- running a machine


def monitor_command(path, command, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(timeout)
            s.connect(path)
            break
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)
    with s:

        def until_prompt():
            data = b""
            while not data.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            return data.decode(errors="replace")

        until_prompt()
        s.sendall(command.encode() + b"\n")
        return until_prompt()


def run_machine(args, family):
    """Boots the guest for one family; returns its logs as a dict."""
    base = os.path.join(args.work, family)
    paths = {k: "%s-%s.log" % (base, k) for k in ("trace", "console", "qemu", "velsim", "velsim-err")}
    for p in paths.values():
        if os.path.exists(p):
            os.remove(p)
    # A socket path has at most 107 characters: the monitor's lives in /tmp.
    monitor_dir = tempfile.mkdtemp(prefix="veldrv-uart-")
    monitor = os.path.join(monitor_dir, "monitor.sock")
    qemu_cmd = [
        "qemu-system-x86_64", "-accel", "tcg", "-nodefaults", "-no-user-config", "-display", "none",
        "-no-reboot", "-m", "256M", "-kernel", args.kernel, "-initrd", args.initramfs,
        "-append", "console=hvc0 quiet panic=-1 UART_FAMILY=%s" % family,
        # The UART under test is the guest's only 8250 (COM1); its console is a virtio console.
        "-chardev", "pty,id=plc", "-serial", "chardev:plc",
        "-device", "virtio-serial-pci", "-chardev", "file,id=con,path=" + paths["console"],
        "-device", "virtconsole,chardev=con",
        "-monitor", "unix:%s,server=on,wait=off" % monitor, "-S",
        "-msg", "timestamp=on", "-D", paths["trace"],
        "-d", "trace:serial_write,trace:serial_read,trace:serial_update_parameters",
    ]  # fmt: skip
    result = {"error": None, "seconds": 0.0}
    started = time.monotonic()
    with open(paths["qemu"], "w") as qlog:
        qemu = subprocess.Popen(qemu_cmd, stdout=qlog, stderr=subprocess.STDOUT)
    velsim = None
    try:
        info = monitor_command(monitor, "info chardev")
        m = re.search(r"^plc: filename=pty:(\S+)", info, re.M)
        if not m:
            raise RuntimeError("no pty in 'info chardev': %r" % info)
        velsim_cmd = [args.velsim, "--family", family, "--device", m.group(1), "--trace",
                      "--memory", args.memory, "--fault", "silent@%d" % SILENT_EXCHANGE]  # fmt: skip
        if family == "a":
            velsim_cmd += ["--session-byte", "0x%02X" % SESSION_BYTE]
        with open(paths["velsim"], "w") as out, open(paths["velsim-err"], "w") as err:
            velsim = subprocess.Popen(velsim_cmd, stdout=out, stderr=err)
        # QEMU looks for the slave side of the pty once a second and drops what
        # the guest sends until it has seen it open.
        time.sleep(1.5)
        if velsim.poll() is not None:
            with open(paths["velsim-err"]) as f:
                raise RuntimeError("velsim ended: " + f.read().strip())
        monitor_command(monitor, "cont")
        qemu.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        result["error"] = "the machine did not power off within %d s" % args.timeout
    except (OSError, RuntimeError) as e:
        result["error"] = "could not run the machine: %s" % e
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        if velsim is not None:
            velsim.send_signal(signal.SIGTERM)
            try:
                velsim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                velsim.kill()
                velsim.wait()
    result["seconds"] = time.monotonic() - started
    for key, p in paths.items():
        result[key] = p
    shutil.rmtree(monitor_dir, ignore_errors=True)
    return result


# ---------------------------------------------------------------- checks


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, text, detail=None):
        print("%s %s" % ("PASS" if ok else "FAIL", text))
        if not ok and detail:
            for line in str(detail).splitlines():
                print("       " + line)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        sys.stdout.flush()


def guest_steps(console_path):
    """The guest's report: {step: (rc, match, ms)}, and its whole output."""
    steps = {}
    try:
        with open(console_path, errors="replace") as f:
            text = f.read()
    except OSError:
        return steps, ""
    for m in re.finditer(r"^step (\S+) rc=(-?\d+)(?: match=(\w+))?(?: ms=([\d.]+))?", text, re.M):
        steps[m.group(1)] = (int(m.group(2)), m.group(3), float(m.group(4)) if m.group(4) else None)
    return steps, text


def first_difference(got, want):
    n = min(len(got), len(want))
    i = next((k for k in range(n) if got[k] != want[k]), n)
    return "first difference at byte %d of %d sent (%d expected):\n  sent     %s\n  expected %s" % (
        i, len(got), len(want), hexlist(got[max(0, i - 4) : i + 12]), hexlist(want[max(0, i - 4) : i + 12]))


def first_frame_difference(sent, served):
    for k in range(max(len(sent), len(served))):
        a = sent[k] if k < len(sent) else None
        b = served[k] if k < len(served) else None
        if a != b:
            return "frame %d: UART %r, velsim %r" % (k, a, b)
    return None


def check_guest(c, tag, console_path):
    steps, console = guest_steps(console_path)
    lines = console.strip().splitlines()
    said = "guest said:\n" + "\n".join(lines[-10:]) if lines else "no output from the guest"

    def rc(name):
        return steps.get(name, (None, None, None))[0]

    def match(name):
        return steps.get(name, (None, None, None))[1]

    c.check(rc("open") is not None and rc("open") >= 0 and rc("close") == 0,
            "%s VelOpen returns a handle and VelClose 0 on the guest's ttyS0" % tag, said)
    data_steps = ["write-words", "read-words", "write-bytes", "read-bytes", "read-raw"]
    bad = [n for n in data_steps if rc(n) != 0 or match(n) not in (None, "yes")]
    c.check(not bad, "%s 300-word and 300-byte writes and reads (several frames) and a raw read: "
            "all 0, data read back right" % tag, "failed: %s\n%s" % (", ".join(bad), said))
    ms = steps.get("silent", (None, None, None))[2]
    c.check(rc("silent") == -1 and ms is not None and 985 <= ms <= 1500,
            "%s silent controller: -1 after %s ms of guest time (time-out 990 ms)" % (tag, ms),
            "rc=%s after %s ms (want -1 after 985..1500 ms)" % (rc("silent"), ms))
    c.check(rc("read-after-silent") == 0 and match("read-after-silent") == "yes",
            "%s the transfer after the silent controller succeeds" % tag,
            "rc=%s match=%s" % (rc("read-after-silent"), match("read-after-silent")))


def rts_low_windows(run, rts_before):
    """(time RTS fell, bytes sent while low, time it rose or None) for each fall of RTS."""
    windows, low_since, inside, rts_was = [], None, [], rts_before
    for e in run:
        if e.kind == "mcr":
            rts = e.value & MCR_RTS
            if rts_was and not rts:
                low_since, inside = e.t, []
            elif rts and low_since is not None:
                windows.append((low_since, inside, e.t))
                low_since = None
            rts_was = rts
        elif e.kind == "tx" and low_since is not None:
            inside.append(e)
    if low_since is not None:
        windows.append((low_since, inside, None))
    return windows


def check_rts_windows(c, tag, windows, want_bytes):
    problems, before, after = [], [], []
    for k, (low, inside, high) in enumerate(windows):
        if len(inside) != 1:
            problems.append("window %d holds %d bytes" % (k, len(inside)))
            continue
        if high is None:
            problems.append("window %d: RTS not raised again" % k)
            continue
        before.append(1000 * (inside[0].t - low))
        after.append(1000 * (high - inside[0].t))
        if before[-1] < PAUSE_MS or after[-1] < PAUSE_MS:
            problems.append("window %d: %.2f ms before the byte, %.2f after it" % (k, before[-1], after[-1]))
    sent_low = [w[1][0].value for w in windows if len(w[1]) == 1]
    if sent_low != want_bytes:
        problems.append("bytes sent with RTS low: %s" % hexlist(sent_low, 40))
        problems.append("expected:               %s" % hexlist(want_bytes, 40))

    def span(v):
        return "%.2f-%.2f ms" % (min(v), max(v)) if v else "none"

    c.check(windows and not problems,
            "%s %d RTS-low windows, each exactly one byte (AA or the session byte): RTS low to the byte %s, "
            "the byte to RTS high %s (at least 3 ms)" % (tag, len(windows), span(before), span(after)),
            "\n".join(problems[:10]))


def check_trace(c, family, tag, run_log):
    _, lcr_want, params_want, _, _ = FAMILIES[family]
    events = uart_events(run_log["trace"])
    start = next((i for i, e in enumerate(events) if e.kind == "mark" and e.value == MARK_START), None)
    end = next((i for i, e in enumerate(events) if e.kind == "mark" and e.value == MARK_END), None)
    if start is None or end is None or end < start:
        c.check(False, "%s the guest's run is in QEMU's trace of the UART" % tag,
                "marks A1/A2 not found in " + run_log["trace"])
        return
    run = events[start : end + 1]
    before_run = events[start].mcr
    tx = [e for e in run if e.kind == "tx"]
    wire = bytes(e.value for e in tx)

    wrong = [e for e in tx if (e.lcr, e.divisor, e.params) != (lcr_want, DIVISOR, params_want)]
    c.check(tx and not wrong,
            "%s all %d bytes sent with LCR 0x%02x and divisor %d (QEMU: %s)"
            % (tag, len(tx), lcr_want, DIVISOR, params_want),
            "%d bytes with other settings, first: LCR 0x%02x, divisor %d (%s)"
            % (len(wrong), wrong[0].lcr, wrong[0].divisor, wrong[0].params) if wrong else "nothing sent")

    want, want_rts_low = expected_wire(family)
    c.check(wire == want, "%s the %d bytes sent equal the expected frames" % (tag, len(want)),
            first_difference(wire, want))

    sent = (decode_fx if family == "fx" else decode_a)(wire)
    try:
        with open(run_log["velsim"], errors="replace") as f:
            served = velsim_frames(f.read().splitlines())
    except OSError:
        served = []
    diff = first_frame_difference(sent, served)
    c.check(sent and diff is None,
            "%s the %d frames sent on the UART are the frames velsim decoded" % (tag, len(sent)), diff)

    windows = rts_low_windows(run, before_run & MCR_RTS)
    if family == "fx":
        c.check(not windows, "%s RTS stays high from open to close" % tag,
                "RTS dropped %d times" % len(windows))
    else:
        check_rts_windows(c, tag, windows, want_rts_low)

    # Open: DTR and RTS go from low to high before the first byte.
    first_tx = next((i for i, e in enumerate(run) if e.kind == "tx"), len(run))
    opening = [e.value for e in run[:first_tx] if e.kind == "mcr"]
    both = MCR_DTR | MCR_RTS
    raised = next((v for v in opening if v & both == both), None)
    c.check(raised is not None and not before_run & both,
            "%s DTR and RTS raised on open (MCR 0x%02x before, %s before the first byte)"
            % (tag, before_run, "none" if raised is None else "0x%02x" % raised),
            "MCR writes before the first byte: %s" % " ".join("%02x" % v for v in opening))

    # Close: DTR falls after the last byte and stays low.
    last_tx = max((i for i, e in enumerate(run) if e.kind == "tx"), default=0)
    closing = [e.value for e in run[last_tx:] if e.kind == "mcr"]
    dropped = next((v for v in closing if not v & MCR_DTR), None)
    c.check(dropped is not None and not run[-1].mcr & MCR_DTR,
            "%s DTR dropped on close (MCR %s after the last byte)"
            % (tag, "none" if dropped is None else "0x%02x" % dropped),
            "MCR writes after the last byte: %s" % " ".join("%02x" % v for v in closing))


def check_family(c, family, run_log):
    tag = "%-2s" % FAMILIES[family][0]
    if run_log["error"]:
        logs = os.path.join(os.path.dirname(run_log["trace"]), family + "-*.log")
        c.check(False, "%s the machine ran" % tag, "%s\nlogs: %s" % (run_log["error"], logs))
    check_guest(c, tag, run_log["console"])
    check_trace(c, family, tag, run_log)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--kernel", required=True)
    p.add_argument("--initramfs", required=True)
    p.add_argument("--velsim", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--timeout", type=int, default=120)
    p.add_argument("--family", choices=sorted(FAMILIES), action="append")
    args = p.parse_args()
    args.memory = os.path.join(args.work, "memory.bin")
    with open(args.memory, "wb") as f:
        f.write(bytes(memory_image(a) for a in range(65536)))

    c = Checks()
    for family in args.family or ["fx", "a"]:
        run = run_machine(args, family)
        print("--- %s: machine ran %.1f s" % (FAMILIES[family][0], run["seconds"]))
        check_family(c, family, run)
    print("%d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
