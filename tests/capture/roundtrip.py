"""The capture's round trip, on every machine file of the repository.

For each machine: capture over it, replay the captured machine file with the
program, and compare the two logs byte for byte, apart from the heap address
that "LEAVE GetMediaTypes" prints; then capture over the captured file and
expect the same file.

usage: roundtrip.py CAPTURE PROGRAM SOURCE_DIR [MACHINE ...]
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

HEAP_ADDRESS = re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]+", re.MULTILINE)
MACHINE_FILE = "enumerate-tarsel-machine.json"
LOG_FILE = "enumerate-tarsel.txt"


def machines(source):
    found = [m for m in glob.glob(os.path.join(source, "machines", "*.json")) if not m.endswith("schema.json")]
    found += glob.glob(os.path.join(source, "tests", "golden", "machines", "*.json"))
    found += glob.glob(os.path.join(source, "tests", "sim", "machines", "*.json"))
    return sorted(found)


def run(program, machine, directory):
    env = dict(os.environ, TARSEL_MACHINE=os.path.abspath(machine))
    done = subprocess.run([program], cwd=directory, env=env, capture_output=True, timeout=600)
    if done.returncode != 0:
        raise AssertionError(f"{program} on {machine}: exit {done.returncode}: {done.stderr.decode()}")
    with open(os.path.join(directory, LOG_FILE), "rb") as log:
        return done.stdout.decode(), log.read()


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


def main():
    capture, program, source = (os.path.abspath(a) for a in sys.argv[1:4])
    todo = sys.argv[4:] or machines(source)
    failed = 0
    for machine in todo:
        problem = check(capture, program, machine)
        name = os.path.relpath(machine, source)
        print(f"{'FAIL' if problem else 'ok  '} {name}{': ' + problem if problem else ''}")
        failed += problem is not None
    print(f"{len(todo) - failed} of {len(todo)} machines round-trip")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
