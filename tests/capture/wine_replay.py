"""The capture under Wine, replayed on Linux: the same log.

Runs enumerate-tarsel-capture.exe under Wine in a fresh prefix and a fresh
directory, replays the machine file it wrote with the Linux program, and
compares the log the replay wrote with the one written under Wine, byte for
byte apart from the heap address in "LEAVE GetMediaTypes"; the machine file
must name the capture that wrote it, as its --version does, and the Windows
version Wine reports.  Exits 77 (skip)
where the machine cannot run the program's code or the Linux program has not
been built.

usage: wine_replay.py WINE_RUN CAPTURE_EXE LINUX_PROGRAM
"""
import json
import os
import re
import subprocess
import sys
import tempfile

HEAP_ADDRESS = re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]+", re.MULTILINE)


def who_wrote_it(wine_run, capture, env, machine):
    """What is wrong with the machine file's word on who wrote it, or None: it
    must name the capture as its --version does, and the Windows Wine reports."""
    said = subprocess.run(["sh", wine_run, capture, "--version"], env=env, capture_output=True, timeout=600)
    program, version, architecture = said.stdout.decode(errors="replace").split()
    with open(machine, encoding="utf-8") as f:
        by = json.load(f).get("captured_by", {})
    expected = {"program": program, "version": version, "architecture": architecture}
    if {k: by.get(k) for k in expected} != expected:
        return f"captured_by {by!r} does not name {expected!r}"
    windows = by.get("windows", {})
    if not (windows.get("major", 0) >= 5 and windows.get("build", 0) > 0 and "minor" in windows):
        return f"captured_by names no Windows version: {by!r}"
    return None


def main():
    wine_run, capture, program = (os.path.abspath(a) for a in sys.argv[1:4])
    if not os.access(program, os.X_OK):
        print(f"skipped: no Linux program at {program}")
        return 77
    with tempfile.TemporaryDirectory() as scratch:
        prefix, wine_dir, replay_dir = (os.path.join(scratch, d) for d in ("prefix", "wine", "replay"))
        os.mkdir(wine_dir)
        os.mkdir(replay_dir)
        env = dict(os.environ, WINEPREFIX=prefix)
        done = subprocess.run(["sh", wine_run, capture], cwd=wine_dir, env=env, capture_output=True, timeout=600)
        if done.returncode == 77:
            print(f"skipped: {done.stderr.decode(errors='replace').strip()}")
            return 77
        console = done.stdout.decode(errors="replace").replace("\r", "")
        if done.returncode != 0 or not console.endswith("Machine file enumerate-tarsel-machine.json\n"):
            print(f"capture under Wine: exit {done.returncode}, console {console!r}")
            return 1
        machine = os.path.join(wine_dir, "enumerate-tarsel-machine.json")
        problem = who_wrote_it(wine_run, capture, env, machine)
        if problem:
            print(problem)
            return 1
        replay = subprocess.run([program], cwd=replay_dir, env=dict(os.environ, TARSEL_MACHINE=machine),
                                capture_output=True, timeout=600)
        if replay.returncode != 0:
            print(f"replay: exit {replay.returncode}: {replay.stderr.decode(errors='replace')}")
            return 1
        with open(os.path.join(wine_dir, "enumerate-tarsel.txt"), "rb") as f:
            under_wine = HEAP_ADDRESS.sub(rb"\1", f.read())
        with open(os.path.join(replay_dir, "enumerate-tarsel.txt"), "rb") as f:
            replayed = HEAP_ADDRESS.sub(rb"\1", f.read())
        if under_wine != replayed:
            a, b = under_wine.splitlines(), replayed.splitlines()
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            print(f"logs differ at line {at + 1} ({len(a)} lines under Wine, {len(b)} replayed)")
            return 1
        print(f"the replay wrote the log Wine's run wrote ({len(under_wine.splitlines())} lines)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
