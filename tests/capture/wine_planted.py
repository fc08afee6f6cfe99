"""The capture under Wine with real device trees: every machine is planted in
a Wine prefix (tools/wine-plant.py), enumerate-tarsel-capture.exe runs there,
and what it wrote must replay, with the Linux program, to the log it wrote
under Wine (byte for byte apart from the session header and the heap address
in "LEAVE GetMediaTypes"), or it must have refused in one console line, with
one of the refusals docs/machine-files.md lists.  A file that replays to
another log, or a refusal the docs do not list, fails the check.

One prefix is booted and copied per machine, so the check costs one Wine
start-up per machine.  Exits 77 (skip) where Wine cannot run the capture,
wine64 (which plants the registry) is not installed or the Linux program has
not been built.

usage: wine_planted.py WINE_RUN CAPTURE_EXE LINUX_PROGRAM SOURCE_DIR [MACHINE...]
"""
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from roundtrip import CannotRun, machines  # the same machines, and Wine's refusal to run the code

SKIP = 77
MACHINE_FILE = "enumerate-tarsel-machine.json"
REFUSAL = "Unable to write machine file " + MACHINE_FILE + ": "
WINE_EXES = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
WINE64 = os.environ.get("TARSEL_WINE64", "/usr/lib/wine/wine64")
# The documented refusals: a sentence in the system's terms, never a path in
# a file that was not written.
DOCUMENTED = re.compile(r"^(DEVINST 0x[0-9A-F]+ name|CM_Get_\w+ (on|of) DEVINST 0x|a device set listed DEVINST 0x"
                        r"|registry property \d+ of DEVINST 0x).*such a run cannot be written as a machine file$"
                        r'|^the machine file would replay differently from line \d+: the run logged ".*", the replay '
                        r'logs (".*"|nothing more)$')
VOLATILE = re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]+|^Log Session: .*$", re.MULTILINE)


def wine(wine_run, prefix, cwd, *command, timeout=300):
    env = dict(os.environ, WINEPREFIX=prefix)
    done = subprocess.run(["sh", wine_run, *command], cwd=cwd, env=env, capture_output=True, timeout=timeout)
    if done.returncode == SKIP:
        raise CannotRun(done.stderr.decode(errors="replace").strip())
    return done


def settle(prefix):
    """Waits for the prefix's wineserver to write the registry and end."""
    subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix),
                   timeout=120, check=False)


def normalised(path):
    with open(path, "rb") as f:
        return VOLATILE.sub(rb"\1", f.read().replace(b"\r\n", b"\n"))


def first_difference(a, b):
    a, b = a.splitlines(), b.splitlines()
    at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    line = lambda lines: lines[at].decode(errors="replace") if at < len(lines) else "(end of log)"
    return f"line {at + 1}: under Wine {line(a)!r}, replayed {line(b)!r}"


def check(machine, args, template, scratch):
    """One machine: (True, what it did) where the capture was exact or refused,
    else (False, what is wrong)."""
    wine_run, capture, program, tools = args
    work = tempfile.mkdtemp(dir=scratch)
    prefix, under_wine, replay = (os.path.join(work, d) for d in ("prefix", "wine", "replay"))
    shutil.copytree(template, prefix, symlinks=True)
    os.mkdir(under_wine)
    os.mkdir(replay)
    planted = subprocess.run([sys.executable, os.path.join(tools, "wine-plant.py"), machine, "--prefix", prefix],
                             capture_output=True, text=True, timeout=300)
    if planted.returncode != 0:
        return False, f"planting failed: {planted.stderr.strip()}"
    done = wine(wine_run, prefix, under_wine, capture)
    console = done.stdout.decode(errors="replace").replace("\r", "").splitlines()
    if done.returncode != 0 or len(console) != 2 or console[0] != "Enumeration successful":
        return False, f"capture: exit {done.returncode}, console {console!r}"
    if console[1].startswith(REFUSAL):
        if os.path.exists(os.path.join(under_wine, MACHINE_FILE)):
            return False, "refused, but wrote a file"
        why = console[1][len(REFUSAL):]
        if not DOCUMENTED.match(why):
            return False, "refused with a reason the docs do not list: " + why
        return True, "refused: " + why
    replayed = subprocess.run([program], cwd=replay, capture_output=True, timeout=300,
                              env=dict(os.environ, TARSEL_MACHINE=os.path.join(under_wine, MACHINE_FILE)))
    if replayed.returncode != 0:
        return False, f"replay: exit {replayed.returncode}: {replayed.stderr.decode(errors='replace').strip()}"
    a, b = (normalised(os.path.join(d, "enumerate-tarsel.txt")) for d in (under_wine, replay))
    if a != b:
        return False, "the file replays to another log, " + first_difference(a, b)
    return True, f"exact ({len(a.splitlines())} lines)"


def main():
    wine_run, capture, program, source = (os.path.abspath(a) for a in sys.argv[1:5])
    todo = [os.path.abspath(m) for m in sys.argv[5:]] or machines(source)
    if not os.access(program, os.X_OK):
        print(f"skipped: no Linux program at {program}")
        return SKIP
    if not os.access(WINE64, os.X_OK):
        print(f"skipped: wine64 is not installed ({WINE64}); it plants the machines")
        return SKIP
    args = (wine_run, capture, program, os.path.join(source, "tools"))
    with tempfile.TemporaryDirectory() as scratch:
        template = os.path.join(scratch, "template")
        try:
            booted = wine(wine_run, template, scratch, os.path.join(WINE_EXES, "wineboot.exe"), "-i")
            if booted.returncode != 0:
                print(f"wineboot: exit {booted.returncode}: {booted.stderr.decode(errors='replace').strip()}")
                return 1
            settle(template)
            with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
                verdicts = list(pool.map(lambda m: check(m, args, template, scratch), todo))
        except CannotRun as refusal:
            print(f"skipped: {refusal}")
            return SKIP
    failed = 0
    for machine, (ok, what) in zip(todo, verdicts):
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {os.path.relpath(machine, source)}: {what}")
    print(f"{len(todo) - failed} of {len(todo)} planted machines exact or refused")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
