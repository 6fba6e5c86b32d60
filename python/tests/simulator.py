"""Runs velsim, the controller simulator, on a private folder for the tests.

VELSIM names the program (default: build/bin/velsim of this repository),
VELDRV_LIBRARY the library (default: build/lib/libveldrv.so.1 if it exists).
Importing this module puts python/ first on sys.path and points
VELDRV_DEVICE_DIR at a private temporary folder, so the library never reaches
the machine's serial devices.
"""

import atexit
import os
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The package under test is the one beside these tests, not an installed one.
sys.path.insert(0, os.path.join(REPO, "python"))
VELSIM = os.environ.get("VELSIM") or os.path.join(REPO, "build", "bin", "velsim")

DEVICE_DIR = tempfile.mkdtemp(prefix="veldrv-py-")
os.environ["VELDRV_DEVICE_DIR"] = DEVICE_DIR
# Settings of the shell (a VELDRV_COM1 naming the user's adapter) stay out.
for _name in ["VELDRV_COM%d" % n for n in range(1, 17)] + ["VELDRV_TRACE", "VELDRV_FRAME_BYTES"]:
    os.environ.pop(_name, None)
atexit.register(shutil.rmtree, DEVICE_DIR, True)

if not os.environ.get("VELDRV_LIBRARY"):
    _built = os.path.join(REPO, "build", "lib", "libveldrv.so.1")
    if os.path.exists(_built):
        os.environ["VELDRV_LIBRARY"] = _built


class Simulator:
    """velsim serving DEVICE_DIR/COM<com> (or FOLDER/COM<com>); port number
    com - 1 for the library when it serves DEVICE_DIR."""

    def __init__(self, family, com, *options, folder=DEVICE_DIR):
        self.port = com - 1
        self.path = os.path.join(folder, f"COM{com}")
        args = [VELSIM, "--family", family, "--dir", folder, "--com", str(com), *options]
        self.process = subprocess.Popen(
            args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL
        )
        line = self._first_line(timeout=10)
        if not line.startswith("velsim: ") or not os.path.exists(self.path):
            self.stop()
            raise RuntimeError(f"velsim did not start: {' '.join(args)}: {line!r}")

    def _first_line(self, timeout):
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout):
                return ""
        return self.process.stdout.readline().decode(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
