#!/usr/bin/env python3
"""Whole-program reliability checks of the Linux build, run by CTest:

  log-limit     the log's writes start failing part-way (a file-size limit,
                SIGXFSZ ignored): the run still succeeds and the log holds the
                lines written before the failure, each complete, nothing after
  keep-data     a log already holding megabytes of arbitrary bytes keeps them
                byte for byte in front of the new run
  concurrent    several runs appending to one log at once interleave whole
                lines and never tear one
  default-file  the shipped machines/default.json and the built-in default
                machine give the same log
  unwritable    in a directory the user may not write to, the program says so
                on the console, exits 0 and creates nothing

Usage: run_checks.py PROGRAM CHECK
"""
import collections
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

LOG = "enumerate-tarsel.txt"
# The only parts of a log that differ between runs of one machine.
VOLATILE = [
    (re.compile(rb"^Log Session: -?[0-9]+$"), b"Log Session: <time>"),
    (re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]{8}( .*)$"), rb"\1<address>\2"),
]


def mask(line):
    for pattern, replacement in VOLATILE:
        line = pattern.sub(replacement, line)
    return line


def run(program, directory, limit=None, env=None, prefix=()):
    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = subprocess.run(list(prefix) + [program], cwd=directory, preexec_fn=limited, capture_output=True,
                            timeout=120, env=env)
    return result.returncode, result.stdout.decode("latin-1")


def read_log(directory):
    with open(os.path.join(directory, LOG), "rb") as f:
        return f.read()


def lines_of(data):
    assert data.endswith(b"\r\n"), "the log must end with a complete line"
    return data[:-2].split(b"\r\n")


def reference_lines(program):
    with tempfile.TemporaryDirectory() as d:
        status, out = run(program, d)
        assert status == 0 and out == "Enumeration successful\n", (status, out)
        return [mask(line) for line in lines_of(read_log(d))]


def check_log_limit(program):
    reference = reference_lines(program)
    total = sum(len(line) + 2 for line in reference)
    for limit in (1, 100, 4096, total // 2 + 17, total - 1):
        with tempfile.TemporaryDirectory() as d:
            status, out = run(program, d, limit)
            assert status == 0, "exit status %d under a %d-byte limit" % (status, limit)
            assert out == "Enumeration successful\n", out
            path = os.path.join(d, LOG)
            data = read_log(d) if os.path.exists(path) else b""
            assert len(data) <= limit
            if data:
                got = [mask(line) for line in lines_of(data)]
                assert got == reference[: len(got)], "the log is not the start of a complete run"
                # Nothing after the failure: the next line would not have fitted.
                if len(got) < len(reference):
                    assert len(data) + len(reference[len(got)]) + 2 > limit
            else:
                assert len(reference[0]) + 2 > limit


def check_keep_data(program):
    rng = random.Random(7)
    old = bytes(rng.randrange(256) for _ in range(3 * 1024 * 1024)) + b"\xff\xfe no final newline \xe9"
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, LOG), "wb") as f:
            f.write(old)
        status, out = run(program, d)
        assert status == 0 and out == "Enumeration successful\n"
        data = read_log(d)
        assert data[: len(old)] == old, "earlier bytes changed"
        new = [mask(line) for line in lines_of(data[len(old):])]
        assert new == reference_lines(program)


def check_concurrent(program, runs=6):
    reference = collections.Counter(reference_lines(program))
    with tempfile.TemporaryDirectory() as d:
        procs = [subprocess.Popen([program], cwd=d, stdout=subprocess.PIPE) for _ in range(runs)]
        for p in procs:
            out, _ = p.communicate(timeout=120)
            assert p.returncode == 0 and out == b"Enumeration successful\n"
        got = collections.Counter(mask(line) for line in lines_of(read_log(d)))
        want = collections.Counter({line: n * runs for line, n in reference.items()})
        assert got == want, "a line was torn, lost or duplicated"


def check_default_file(program):
    machine = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "machines", "default.json")
    env = dict(os.environ, TARSEL_MACHINE=os.path.abspath(machine))
    with tempfile.TemporaryDirectory() as d:
        status, out = run(program, d, env=env)
        assert status == 0 and out == "Enumeration successful\n", (status, out)
        from_file = [mask(line) for line in lines_of(read_log(d))]
    assert from_file == reference_lines(program), "the shipped file and the built-in machine differ"


def check_unwritable(program):
    # Permissions do not stop root: run as an unprivileged user when we are root.
    prefix = ()
    if os.geteuid() == 0:
        runuser = "/usr/sbin/runuser"
        if not os.path.exists(runuser):
            print("skipped: no runuser to drop root")
            return
        prefix = (runuser, "-u", "nobody", "--")
    with tempfile.TemporaryDirectory() as bindir, tempfile.TemporaryDirectory() as d:
        # The build tree may sit where the unprivileged user cannot reach it:
        # run a copy from a directory everyone may enter.
        os.chmod(bindir, 0o755)
        copy = os.path.join(bindir, os.path.basename(program))
        shutil.copy2(program, copy)
        os.chmod(d, 0o555)
        try:
            status, out = run(copy, d, prefix=prefix)
            assert status == 0, status
            assert out == "Unable to open log file enumerate-tarsel.txt\n", out
            assert os.listdir(d) == [], "something was created"
        finally:
            os.chmod(d, 0o700)


CHECKS = {
    "log-limit": check_log_limit,
    "keep-data": check_keep_data,
    "concurrent": check_concurrent,
    "default-file": check_default_file,
    "unwritable": check_unwritable,
}

if __name__ == "__main__":
    program, name = os.path.abspath(sys.argv[1]), sys.argv[2]
    CHECKS[name](program)
    print("%s: ok" % name)
