#!/usr/bin/env python3
"""Runs every example of `velctl --help`, of man/velctl.1 and of the README's
velctl section against simulated controllers, so that none of them goes stale.

Usage: check_examples.py VELCTL VELSIM README MANPAGE

The examples of --help and of the manual run one after the other in a scratch
folder, with an FX2N (velsim --model fx2n) as COM1 and an A-series controller
as COM2, and must exit with status 0. The README's velctl section is a
transcript: its setup lines run as they are, each "$ COMMAND" runs with its
standard output and error together, and the lines after it are what it must
print ("..." stands for any text, a time stamp for any time stamp, and the
value of a variable the setup set, such as $plc, for its name). Exit status 0
when all agree, 1 otherwise.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")


def clean_environment(extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELDRV_")}
    env.update(extra)
    return env


def help_examples(velctl, env):
    text = subprocess.run([velctl, "--help"], env=env, capture_output=True, text=True, check=True).stdout
    examples = text.split("\nExamples:\n", 1)[1]
    # "  COMMAND    what it does": the command ends where two blanks begin.
    return [re.split(r"\s{2,}", line.strip())[0] for line in examples.splitlines() if line.startswith("  ")]


def man_examples(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n.SH EXAMPLES\n", 1)[1].split("\n.SH ", 1)[0]
    commands = []
    for block in re.findall(r"\n\.nf\n(.*?)\n\.fi\n", section, re.S):
        for line in block.splitlines():
            line = line.replace(r"\-", "-").replace(r"\(aq", "'").replace(r"\(dq", '"').replace(r"\e", "\\")
            commands.append(line)
    return commands


def readme_transcript(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## velctl, the command-line tool\n", 1)[1].split("\n## ", 1)[0]
    blocks, block = [], []
    for line in section.splitlines() + [""]:
        if line.startswith("    "):
            block.append(line[4:])
        elif line.strip() == "" and block:
            block.append("")
        else:
            if any(b.startswith("$ ") for b in block):
                blocks.append(block)
            block = []
    if any(b.startswith("$ ") for b in block):
        blocks.append(block)
    return blocks


def wait_for(path, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return False


def run_examples(velctl, velsim, commands, work):
    """Each command with bash, in order; returns the failures."""
    devices = os.path.join(work, "devices")
    here = os.path.join(work, "examples")
    os.mkdir(devices)
    os.mkdir(here)
    env = clean_environment({"VELDRV_DEVICE_DIR": devices,
                             "PATH": os.path.dirname(velctl) + os.pathsep + os.environ.get("PATH", "")})
    for n in range(1, 17):
        env["VELDRV_COM%d" % n] = os.path.join(devices, "COM%d" % n)
    sims = [subprocess.Popen([velsim, "--model", "fx2n", "--dir", devices, "--com", "1"], env=env,
                             stdout=subprocess.DEVNULL),
            subprocess.Popen([velsim, "--family", "a", "--dir", devices, "--com", "2"], env=env,
                             stdout=subprocess.DEVNULL)]
    failures = []
    try:
        if not (wait_for(os.path.join(devices, "COM1")) and wait_for(os.path.join(devices, "COM2"))):
            return ["velsim did not start"]
        for command in commands:
            done = subprocess.run(["bash", "-c", command], cwd=here, env=env, capture_output=True, text=True,
                                  timeout=60)
            print("%s: exit %d" % (command, done.returncode))
            if done.returncode != 0:
                failures.append("%s: exit %d\n%s%s" % (command, done.returncode, done.stdout, done.stderr))
    finally:
        for sim in sims:
            sim.terminate()
            sim.wait()
    return failures


def expected_pattern(line):
    parts = [re.escape(part) for part in re.split(r" ?\.\.\. ?", TIME.sub("\0", line))]
    return re.compile(".*".join(parts).replace("\0", TIME.pattern) + r"\Z")


def run_transcript(velctl, block, work):
    """The README's transcript as a bash script; returns the failures."""
    here = os.path.join(work, "readme")
    os.makedirs(os.path.join(here, "build"))
    os.symlink(os.path.dirname(velctl), os.path.join(here, "build", "bin"))
    script = ["cd %s || exit 1" % here]
    commands, expected, variables = [], [], []
    for line in block:
        if line.startswith("$ "):
            if not commands:  # the setup is done: keep the values it gave its variables
                script.extend('printf "%%s\\n" "$%s" >%s/var.%s' % (v, work, v) for v in variables)
            commands.append(line[2:])
            expected.append([])
            script.append("{ %s\n} >%s/out.%d 2>&1" % (line[2:], work, len(commands)))
        elif commands:
            if line:
                expected[-1].append(line)
        elif line.rstrip().endswith("&"):
            # A server in the background: go on once it says it is ready.
            out = "%s/background.%d" % (work, len(script))
            script.append("%s >%s 2>&1 &" % (line.rstrip()[:-1], out))
            script.append("for _ in $(seq 200); do [ -s %s ] && break; sleep 0.05; done" % out)
        elif line:
            script.append(line)
            name = re.match(r"(?:export\s+)?([A-Za-z_]\w*)=", line)
            if name:
                variables.append(name.group(1))
    env = clean_environment({"VELDRV_DEVICE_DIR": os.path.join(work, "empty")})
    os.mkdir(os.path.join(work, "empty"))
    done = subprocess.run(["bash", "-c", "\n".join(script)], env=env, capture_output=True, text=True, timeout=120)
    values = {}
    for v in variables:
        with open("%s/var.%s" % (work, v)) as f:
            values[v] = f.read().rstrip("\n")
    failures = []
    for n, (command, want) in enumerate(zip(commands, expected), 1):
        with open("%s/out.%d" % (work, n)) as f:
            got = f.read().splitlines()
        for name, value in values.items():
            if value:
                got = [g.replace(value, "$" + name) for g in got]
        ok = len(got) == len(want) and all(expected_pattern(w).match(g) for w, g in zip(want, got))
        print("$ %s: %s" % (command, "as shown" if ok else "differs"))
        if not ok:
            failures.append("$ %s\nshown:\n%s\nprinted:\n%s" % (command, "\n".join(want), "\n".join(got)))
    if done.returncode != 0:
        failures.append("the transcript ended with exit status %d:\n%s" % (done.returncode, done.stderr))
    return failures


def main():
    velctl, velsim, readme, manpage = (os.path.abspath(a) for a in sys.argv[1:5])
    failures = []
    with tempfile.TemporaryDirectory(prefix="velctl-examples.") as work:
        env = clean_environment({"VELDRV_DEVICE_DIR": work})
        commands = help_examples(velctl, env) + man_examples(manpage)
        failures += run_examples(velctl, velsim, commands, work)
        blocks = readme_transcript(readme)
        if len(blocks) != 1:
            failures.append("the README's velctl section has %d transcripts, expected 1" % len(blocks))
        for block in blocks:
            failures += run_transcript(velctl, block, work)
    for failure in failures:
        print("FAIL: " + failure)
    shown = sum(1 for b in blocks for line in b if line.startswith("$ "))
    print("%d examples run, %d failed" % (len(commands) + shown, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
