"""The capture's round trip, on every machine file of the repository.

For each machine, and for generated machines of 100 and 1,000 devices:
capture over it, replay the captured machine file with the program, and
compare the two logs byte for byte, apart from the heap address that
"LEAVE GetMediaTypes" prints; then capture over the captured file and expect
the same file.  Last, a capture where the machine file cannot be written:
the log is written as ever, and the console says so in one line.

With --runner, both programs run through it (tools/wine-run.sh for the
Windows builds); where it exits 77, the machine cannot run their code and the
whole check is skipped with 77.

usage: roundtrip.py [--runner RUNNER] CAPTURE PROGRAM SOURCE_DIR [MACHINE ...]
"""
import argparse
import concurrent.futures
import glob
import os
import re
import subprocess
import sys
import tempfile

HEAP_ADDRESS = re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]+", re.MULTILINE)
MACHINE_FILE = "enumerate-tarsel-machine.json"
LOG_FILE = "enumerate-tarsel.txt"
SKIP = 77
RUNNER = []


class CannotRun(Exception):
    """The runner says this machine cannot execute the programs' code."""


def machines(source):
    found = [m for m in glob.glob(os.path.join(source, "machines", "*.json")) if not m.endswith("schema.json")]
    found += glob.glob(os.path.join(source, "tests", "golden", "machines", "*.json"))
    found += glob.glob(os.path.join(source, "tests", "sim", "machines", "*.json"))
    return sorted(found)


def run(program, machine, directory):
    env = dict(os.environ, TARSEL_MACHINE=os.path.abspath(machine))
    done = subprocess.run(RUNNER + [program], cwd=directory, env=env, capture_output=True, timeout=600)
    if RUNNER and done.returncode == SKIP:
        raise CannotRun(done.stderr.decode(errors="replace"))
    if done.returncode != 0:
        raise AssertionError(f"{program} on {machine}: exit {done.returncode}: {done.stderr.decode()}")
    with open(os.path.join(directory, LOG_FILE), "rb") as log:
        return done.stdout.decode().replace("\r\n", "\n"), log.read()


def check(capture, program, machine):
    with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as replay, \
            tempfile.TemporaryDirectory() as second:
        console, captured_log = run(capture, machine, first)
        if not console.endswith(f"Machine file {MACHINE_FILE}\n"):
            return f"capture console: {console!r}"
        captured = os.path.join(first, MACHINE_FILE)
        _, replayed_log = run(program, captured, replay)
        if HEAP_ADDRESS.sub(rb"\1", captured_log) != HEAP_ADDRESS.sub(rb"\1", replayed_log):
            a = HEAP_ADDRESS.sub(rb"\1", captured_log).splitlines()
            b = HEAP_ADDRESS.sub(rb"\1", replayed_log).splitlines()
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            near = lambda lines: lines[at].decode(errors="replace") if at < len(lines) else "<end>"
            return f"replayed log differs at line {at + 1}: {near(a)!r} / {near(b)!r}"
        run(capture, captured, second)
        with open(captured, "rb") as f, open(os.path.join(second, MACHINE_FILE), "rb") as g:
            if f.read() != g.read():
                return "capturing the captured machine gives another file"
    return None


def generated(source, directory):
    made = []
    for devices in (100, 1000):
        path = os.path.join(directory, f"generated-{devices}.json")
        with open(path, "w") as out:
            subprocess.run([sys.executable, os.path.join(source, "tools", "gen-machine.py"), "--devices",
                            str(devices), "--seed", "15"], check=True, stdout=out)
        made.append(path)
    return made


def unwritable(capture, program, machine):
    """The machine file's place is taken by a directory: only the log is written."""
    with tempfile.TemporaryDirectory() as directory, tempfile.TemporaryDirectory() as plain:
        os.makedirs(os.path.join(directory, MACHINE_FILE, "taken"))
        console, log = run(capture, machine, directory)
        _, expected = run(program, machine, plain)
        lines = console.splitlines()
        if len(lines) != 2 or lines[0] != "Enumeration successful" or \
                not lines[1].startswith(f"Unable to write machine file {MACHINE_FILE}: "):
            return f"console: {console!r}"
        if not os.path.isdir(os.path.join(directory, MACHINE_FILE, "taken")):
            return "the directory in the machine file's place was changed"
        if os.path.exists(os.path.join(directory, MACHINE_FILE + ".partial")):
            return "the partial machine file was left behind"
        # The two runs differ only in the clock of their headers and the heap address.
        strip = lambda text: re.sub(rb"^Log Session: .*$", b"", HEAP_ADDRESS.sub(rb"\1", text), flags=re.M)
        if strip(log) != strip(expected):
            return "the log differs from the program's"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner")
    parser.add_argument("capture")
    parser.add_argument("program")
    parser.add_argument("source")
    parser.add_argument("machines", nargs="*")
    args = parser.parse_args()
    if args.runner:
        RUNNER[:] = ["sh", os.path.abspath(args.runner)]
    capture, program, source = (os.path.abspath(a) for a in (args.capture, args.program, args.source))
    scratch = tempfile.TemporaryDirectory()
    todo = [os.path.abspath(m) for m in args.machines] or machines(source) + generated(source, scratch.name)
    try:
        return check_all(capture, program, source, scratch, todo)
    except CannotRun as refusal:
        print(f"skipped: {refusal}".rstrip())
        return SKIP


def check_all(capture, program, source, scratch, todo):
    failed = 0
    problem = unwritable(capture, program, todo[0])
    print(f"{'FAIL' if problem else 'ok  '} machine file not writable{': ' + problem if problem else ''}")
    failed += problem is not None
    # Wine's runs mostly wait on its start-up, so several go at once.
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        problems = list(pool.map(lambda machine: check(capture, program, machine), todo))
    for machine, problem in zip(todo, problems):
        name = os.path.basename(machine) if machine.startswith(scratch.name) else os.path.relpath(machine, source)
        print(f"{'FAIL' if problem else 'ok  '} {name}{': ' + problem if problem else ''}")
        failed += problem is not None
    print(f"{failed} failed of {len(todo) + 1} checks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
