"""The examples a new user meets, run as they are written: the README's try-it
line and its velcon, RFC 2217, Python and Examples sections, python/README.md,
the example in `velcon --help`, those of man/velcon.1 and the RFC 2217 one of
man/velsim.1.

Each document's text is read at test time, so an example that changes is
tested as it then stands. The commands run in a sandbox: a folder of links to
the repository's files with `build` pointing at the build under test, a
private HOME (so `~/.local` and `~/plc` are the sandbox's), a private TMPDIR
and VELDRV_DEVICE_DIR, and no VELDRV_COM<n> of the caller. Real devices are
never reached: /dev/ttyUSB0 in an example stands for a simulated controller
started here, and the "built-in" COM1 is one in the private device folder.
Lines that build the tree under test (`cmake --preset default ...`, the
README's test command, which CI runs last) are left out.

    VELDRV_BUILD_DIR=build python3 -m unittest -v tests/docs/test_user_examples.py

Exits 77 (skipped) when python3 cannot make a virtual environment.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VELDRV_BUILD_DIR") or os.path.join(REPO, "build"))
BIN = os.path.join(BUILD, "bin")
LIBRARY = os.path.join(BUILD, "lib", "libveldrv.so.1")
VERSION = re.search(r"project\(veldrv VERSION ([0-9.]+)", open(os.path.join(REPO, "CMakeLists.txt")).read()).group(1)


def read(*path):
    with open(os.path.join(REPO, *path), encoding="utf-8") as f:
        return f.read()


def section(markdown, title):
    """The text of the '## title' section (up to the next '## ')."""
    start = markdown.index(f"\n## {title}")
    end = markdown.find("\n## ", start + 1)
    return markdown[start : end if end >= 0 else len(markdown)]


def subsection(markdown, title):
    """The text of the '### title...' subsection (up to the next heading)."""
    start = markdown.index(f"\n### {title}")
    ends = [i for i in (markdown.find("\n## ", start + 1), markdown.find("\n### ", start + 1)) if i >= 0]
    return markdown[start : min(ends) if ends else len(markdown)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether 127.0.0.1:port listens (from /proc/net/tcp: a connection to
    ser2net would make it open its serial side)."""
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(fields[1] == want and fields[3] == "0A" for fields in (line.split() for line in list(f)[1:]))


def blocks(markdown):
    """The code blocks in order: ('shell', text) for indented blocks,
    ('python', text) for ```python fences (other fences are left out)."""
    found, lines, i = [], markdown.split("\n"), 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            end = lines.index("```", i + 1)
            if line.strip() == "```python":
                found.append(("python", "\n".join(lines[i + 1 : end]) + "\n"))
            i = end + 1
        elif line.startswith("    ") and (i == 0 or not lines[i - 1].strip()):
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                block.append(lines[i][4:])
                i += 1
            found.append(("shell", "\n".join(block).strip("\n") + "\n"))
        else:
            i += 1
    return found


def is_synopsis(line):
    """A usage line with alternatives ('velcon [COM1|COM2] [FX|A]'), not a command."""
    return re.search(r"\[[^]\"']*\|[^]\"']*\]", line) is not None


def man_examples(page):
    """The .nf/.fi blocks of the EXAMPLES section of a man page, as plain text."""
    examples = page[page.index(".SH EXAMPLES") :]
    examples = examples[: examples.find("\n.SH ", 1)]
    return [unroff(b) for b in re.findall(r"^\.nf\n(.*?)^\.fi$", examples, re.M | re.S)]


def unroff(text):
    return text.replace("\\-", "-").replace("\\(aq", "'").replace("\\(:o", "\u00f6").replace("\\&", "")


def pattern(expected, substitutions=()):
    """A regular expression for an output sample: '...' stands for anything."""
    for old, new in substitutions:
        expected = expected.replace(old, new)
    return re.compile("".join(".*" if part == "..." else re.escape(part) for part in re.split(r"(\.\.\.)", expected)))


def python_comments(snippet):
    """What a snippet's print() lines say they print ('# ...' after them)."""
    return [m.group(1) for m in re.finditer(r"^\s*print\(.*\)\s+# (.*)$", snippet, re.M)]


def can_make_venv():
    folder = tempfile.mkdtemp(prefix="veldrv-venv-check-")
    try:
        return subprocess.run([sys.executable, "-m", "venv", "--without-pip", folder], capture_output=True).returncode == 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


class Sandbox:
    """A working folder like the repository's, with private HOME, TMPDIR and
    device folder; simulators started for it stop with it."""

    def __init__(self, test):
        self.root = tempfile.mkdtemp(prefix="veldrv-docs-")
        test.addCleanup(self.close)
        self.work = os.path.join(self.root, "work")
        self.home = os.path.join(self.root, "home")
        self.tmp = os.path.join(self.root, "tmp")
        self.dev = os.path.join(self.root, "dev")
        for folder in (self.work, self.home, self.tmp, self.dev):
            os.mkdir(folder)
        for name in os.listdir(REPO):
            if name == ".git" or name.startswith(("build", ".venv", "dist")) or name == "__pycache__":
                continue
            os.symlink(os.path.join(REPO, name), os.path.join(self.work, name))
        os.symlink(BUILD, os.path.join(self.work, "build"))
        self.initial = set(os.listdir(self.work))
        self.simulators = []
        self.env = {
            k: v for k, v in os.environ.items()
            if not k.startswith(("VELDRV_", "VELCON_", "PIP_")) and k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "VIRTUAL_ENV")
        }
        self.env.update(
            HOME=self.home, TMPDIR=self.tmp, VELDRV_DEVICE_DIR=self.dev, LC_ALL="C.UTF-8",
            PATH=BIN + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
            PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONIOENCODING="utf-8",
        )
        self.count = 0

    def simulator(self, family, folder, com=1):
        """velsim serving folder/COM<com>; returns that path."""
        os.makedirs(folder, exist_ok=True)
        process = subprocess.Popen(
            [os.path.join(BIN, "velsim"), "--family", family, "--dir", folder, "--com", str(com)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        self.simulators.append(process)
        path = os.path.join(folder, f"COM{com}")
        for _ in range(100):
            if os.path.exists(path):
                return path
            time.sleep(0.1)
        raise RuntimeError(f"velsim did not serve {path}")

    def device(self):
        """A simulated FX controller for the examples' /dev/ttyUSB0."""
        return self.simulator("fx", os.path.join(self.root, "usb"))

    def rfc2217_server(self, family):
        """velsim as an RFC 2217 server on a free loopback port; returns HOST:PORT."""
        process = subprocess.Popen(
            [os.path.join(BIN, "velsim"), "--family", family, "--listen-rfc2217", "127.0.0.1:0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        )
        self.simulators.append(process)
        started = process.stdout.readline()  # "velsim: ... on rfc2217://127.0.0.1:PORT"
        return re.search(r"rfc2217://(\S+)", started).group(1)

    def server(self, arguments):
        """A program (ser2net) that runs until the sandbox closes."""
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.simulators.append(process)
        return process

    def run(self, script, stdin=b"", timeout=300):
        """Runs lines of shell as a user types them (velsim started with '&'
        is given time to link its port). Returns (status, stdout, stderr,
        whether processes it started outlived it)."""
        lines = []
        for line in script.splitlines():
            lines.append(line)
            started = re.search(r"velsim .*--dir (\S+) --com (\d+).*&\s*$", line)
            if started:
                lines.append(f"for _ in $(seq 100); do [ -e {started.group(1)}/COM{started.group(2)} ] && break; sleep 0.1; done")
            listens = re.search(r"velsim .*--listen(?:-rfc2217)? ([0-9.]+):(\d+).*&\s*$", line)
            if listens:
                host, port = listens.groups()
                lines.append(f"for _ in $(seq 100); do (: </dev/tcp/{host}/{port}) 2>/dev/null && break; sleep 0.1; done")
        self.count += 1
        path = os.path.join(self.root, f"script{self.count}.sh")
        with open(path, "w") as f:
            f.write("set -eo pipefail\n" + "\n".join(lines) + "\n")
        # Files, not pipes: a simulator left running must not keep the test
        # waiting for the end of the output.
        with open(path + ".in", "wb") as f:
            f.write(stdin)
        with open(path + ".in", "rb") as given, open(path + ".out", "wb+") as out, open(path + ".err", "wb+") as err:
            process = subprocess.Popen(
                ["bash", path], cwd=self.work, env=self.env, start_new_session=True, stdin=given, stdout=out, stderr=err
            )
            try:
                process.wait(timeout=timeout)
            finally:
                leftovers = self._stop_group(process.pid)
            out.seek(0)
            err.seek(0)
            return process.returncode, out.read().decode(errors="replace"), err.read().decode(errors="replace"), leftovers

    @staticmethod
    def _stop_group(group):
        # A simulator stopped by "kill %1" may take a moment to end.
        for _ in range(50):
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                return False
            time.sleep(0.1)
        os.killpg(group, signal.SIGTERM)
        time.sleep(0.5)
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return True

    def new_entries(self):
        return set(os.listdir(self.work)) - self.initial

    def close(self):
        for process in self.simulators:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout:
                process.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)


class UserExamples(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(BIN, "velcon")):
            raise unittest.SkipTest(f"no build in {BUILD} (set VELDRV_BUILD_DIR)")

    def check_run(self, result, what):
        status, out, err, leftovers = result
        self.assertEqual(status, 0, f"{what} failed:\n{out}\n{err}")
        self.assertFalse(leftovers, f"{what} left processes running (a simulator not stopped?)")
        return out, err

    def check_tidy(self, box, allowed=()):
        self.assertEqual(os.listdir(box.tmp), [], "files left in the temporary folder")
        self.assertLessEqual(box.new_entries(), set(allowed), "files left in the working folder")

    def velcon_commands(self, text, box):
        """A block of velcon command lines with the examples' devices simulated."""
        return text.replace("/dev/ttyUSB0", box.device())

    # The README

    def test_readme_try_it(self):
        readme = read("README.md")
        intro = readme[: readme.index("\n## ")]
        try_it = intro[intro.index("Try it") :]
        _, command = blocks(try_it)[0]
        self.assertEqual(command, "./run-velcon.sh\n")
        box = Sandbox(self)
        out, _ = self.check_run(box.run(command, b"4\n0\n1\n\n0\n"), command)
        self.assertIn("DW   0 = ", out)
        self.check_tidy(box)

    def test_readme_velcon_section(self):
        text = section(read("README.md"), "velcon, the console test program")
        box = Sandbox(self)
        box.simulator("fx", box.dev)  # the built-in COM1
        commands = [b for k, b in blocks(text) if k == "shell" and not b.startswith("$ ")]
        commands = ["".join(l for l in b.splitlines(True) if not is_synopsis(l)) for b in commands]
        script = self.velcon_commands("".join(commands), box)
        out, err = self.check_run(box.run(script, b"4\n0\n1\n\n0\n"), script)
        self.assertEqual(out.count("Velmora Demo Version"), script.count("build/bin/velcon"), out + err)
        self.assertIn("DW   0 = ", out)
        # The transcript of a failed open, with this sandbox's home.
        transcripts = [b for k, b in blocks(text) if k == "shell" and b.startswith("$ ")]
        self.assertTrue(transcripts)
        for transcript in transcripts:
            self.check_transcript(box, transcript)
        self.check_tidy(box)

    def check_transcript(self, box, transcript):
        for command, expected in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", transcript, re.M):
            status, out, err, leftovers = box.run(command)  # what the terminal shows, whatever the status
            self.assertFalse(leftovers)
            want = pattern(expected.rstrip("\n"), [("/home/user", box.home)])
            self.assertRegex((out + err).rstrip("\n"), want, f"$ {command}")

    def run_python_document(self, box, markdown, what, before=""):
        """Runs a document's shell blocks and, between them, its Python blocks
        with .venv/bin/python, each print() checked against the comment
        beside it; then shows which library the installed package loads.
        Returns that library's path."""
        script, snippets = [before], []
        for kind, text in blocks(markdown):
            if kind == "python":
                snippet = os.path.join(box.root, f"example{len(snippets)}.py")
                with open(snippet, "w") as f:
                    f.write(text)
                snippets.append((snippet, text))
                script.append(f".venv/bin/python {snippet} > {snippet}.out\n")
            else:
                script.append("".join(l for l in text.splitlines(True) if not l.startswith("cmake --preset")))
        script.append(".venv/bin/python -c 'import veldrv; print(veldrv.load_library()._name)'\n")
        self.assertIn("--force-reinstall", "".join(script))  # the wheel takes the place of the package
        out, _ = self.check_run(box.run("".join(script)), what)
        self.assertTrue(snippets)
        for snippet, text in snippets:
            with open(snippet + ".out", encoding="utf-8") as f:
                self.assertEqual(f.read().splitlines(), python_comments(text), text)
        return out.splitlines()[-1]

    def test_readme_python_and_examples_sections(self):
        readme = read("README.md")
        box = Sandbox(self)
        # Python: install, a simulator, the example, its end, the wheel.
        python = section(readme, "Python")
        self.assertIn("cmake --install build --prefix ~/.local", python)
        loaded = self.run_python_document(box, python, "the README's Python section")
        # After the wheel: the library inside the package, not the one in ~/.local.
        self.assertTrue(loaded.startswith(os.path.join(box.work, ".venv", "")), loaded)
        self.assertTrue(os.path.isfile(os.path.join(box.home, ".local", "lib", "libveldrv.so.1")))
        self.check_tidy(box, {".venv", "dist"})

        # Examples: built against the install above, run against a simulator.
        commands = "".join(b for k, b in blocks(section(readme, "Examples")) if k == "shell")
        self.assertIn("--polls", commands)
        out, err = self.check_run(box.run(commands), "the README's Examples section")
        self.assertIn("D100 = 4369 (0x1111)", out)  # read_write
        self.assertIn("sum = 150", out)  # registers
        self.assertIn("D100 = 4369", err)  # poll.py logs to stderr
        self.check_tidy(box, {".venv", "dist", "build-examples"})

    def test_readme_rfc2217_section(self):
        text = subsection(read("README.md"), "RFC 2217 ports")
        clients, yaml, remote, try_it = [b for k, b in blocks(text) if k == "shell"]
        box = Sandbox(self)
        # The first examples, each address a simulated server of its family.
        script = clients.replace("192.168.0.50:4001", box.rfc2217_server("fx"))
        script = script.replace("plc-gw.local:4001", box.rfc2217_server("a"))
        self.assertNotIn("4001", script)
        out, err = self.check_run(box.run(script, b"0\n"), script)
        self.assertIn("Velmora Demo Version 1.00 an COM1", out)
        self.assertIn("D7 = 0 (0x0000)", out)

        # Without hardware, on a free port.
        port = str(free_port())
        script = try_it.replace("4001", port)
        out, err = self.check_run(box.run(script), script)
        self.assertIn("D1 = 0 (0x0000)", out)
        self.assertIn("rfc2217 client parity odd", out)  # velsim's trace

        # The trace shown: the events of the command named below it, in order.
        shown = re.search(r"^```\n(.*?)^```\n\n\(that of `(.*?)` against", text, re.M | re.S)
        header = re.compile(r"^ *[0-9.]+ COM1 T[0-9]+ ")
        events = [header.sub("", line) for line in shown.group(1).strip("\n").splitlines()]
        command = " ".join(shown.group(2).split())
        server = box.rfc2217_server("a")
        status, out, err, leftovers = box.run(command.replace("127.0.0.1:4001", server))
        self.assertEqual(status, 0, err)
        trace = [header.sub("", line) for line in err.splitlines() if header.match(line)]
        wanted = [e.replace("127.0.0.1:4001", server) for e in events]
        found = iter(trace)
        missing = [e for e in wanted if not any(t == e for t in found)]  # in order: each after the one before
        self.assertEqual(missing, [], err)

        # ser2net with the configuration shown, on a free loopback port.
        ser2net = shutil.which("ser2net") or next(
            (p for p in ("/usr/sbin/ser2net", "/usr/bin/ser2net") if os.access(p, os.X_OK)), None)
        if not ser2net:
            self.check_tidy(box)
            self.skipTest("ser2net is missing (apt-get install ser2net)")
        port = free_port()
        config = yaml.replace("/dev/ttyUSB0", box.device()).replace("tcp,4001", f"tcp,127.0.0.1,{port}")
        self.assertNotIn("4001", config)
        path = os.path.join(box.root, "ser2net.yaml")
        with open(path, "w") as f:
            f.write(config)
        process = box.server([ser2net, "-n", "-u", "-c", path])
        for _ in range(100):
            if listening(port) or process.poll() is not None:
                break
            time.sleep(0.05)
        self.assertTrue(listening(port), "ser2net did not listen with the README's configuration")
        script = remote.replace("thathost:4001", f"127.0.0.1:{port}")
        out, err = self.check_run(box.run(script), script)
        self.assertEqual(out, "D100 = 0 (0x0000)\nD101 = 0 (0x0000)\nD102 = 0 (0x0000)\nD103 = 0 (0x0000)\n")
        self.check_tidy(box)

    def test_velsim_man_page_rfc2217_example(self):
        example = next(e for e in man_examples(read("man", "velsim.1")) if "--listen-rfc2217" in e)
        box = Sandbox(self)
        script = example.replace("5021", str(free_port()))
        status, out, err, _ = box.run(script)  # the open fails as the example says; velsim is stopped after
        self.assertEqual(status, 1, out + err)
        self.assertIn("the device refused the line settings 9600 7E1: asked for parity even, "
                      "the server answered parity none", err)
        self.check_tidy(box)

    # python/README.md

    def test_python_readme(self):
        box = Sandbox(self)
        box.simulator("fx", box.dev)  # COM1 of the first example
        # It "needs the library installed".
        install = "cmake --install build --prefix ~/.local > /dev/null\n"
        loaded = self.run_python_document(box, read("python", "README.md"), "python/README.md", install)
        self.assertTrue(loaded.startswith(os.path.join(box.work, ".venv", "")), loaded)
        self.check_tidy(box, {".venv", "dist"})

    # velcon's own documentation

    def test_velcon_help_example(self):
        box = Sandbox(self)
        help_text = subprocess.run(
            [os.path.join(BIN, "velcon"), "--help"], env=box.env, capture_output=True, check=True
        ).stdout.decode()
        example = help_text[help_text.index("Beispiel") :].split("\n", 1)[1]
        commands = "".join(line.strip() + "\n" for line in example.splitlines() if line.startswith("  "))
        self.assertIn("VELDRV_COM1=", commands)
        out, _ = self.check_run(box.run(self.velcon_commands(commands, box)), commands)
        self.assertIn("Velmora Demo Version 1.00 an COM1", out)

    def test_velcon_man_page(self):
        page = read("man", "velcon.1")
        box = Sandbox(self)
        examples = man_examples(page)
        self.assertGreaterEqual(len(examples), 2)
        for example in examples:
            with self.subTest(example=example):
                out, _ = self.check_run(box.run(self.velcon_commands(example, box)), example)
                self.assertEqual(out.count("Velmora Demo Version"), example.count("velcon COM"), out)
                self.check_tidy(box)
        # DIAGNOSTICS: the notes on standard error, for an unknown argument and a port that does not open.
        notes = re.findall(r'^\.B "(velcon: .*)"$', page, re.M)
        self.assertEqual(len(notes), 2, notes)
        empty = os.path.join(box.root, "empty")
        os.mkdir(empty)
        for note, arguments in zip(notes, (["COM3"], [])):
            env = dict(box.env, VELDRV_DEVICE_DIR=empty)
            run = subprocess.run([os.path.join(BIN, "velcon"), *arguments], env=env, capture_output=True, input=b"")
            want = pattern(unroff(note), [("/dev/ttyS0", os.path.join(empty, "COM1"))])
            self.assertRegex(run.stderr.decode(), want)


if __name__ == "__main__":
    if not can_make_venv():
        print("python3 cannot make a virtual environment (apt-get install python3-venv): skipped")
        sys.exit(77)
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
