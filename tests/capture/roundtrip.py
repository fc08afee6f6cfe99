"""The capture's round trip, on every machine file of the repository.

For each machine, and for generated machines of 100 and 1,000 devices:
capture over it, replay the captured machine file with the program, and
compare the two logs byte for byte, apart from the heap address that
"LEAVE GetMediaTypes" prints; then capture over the captured file and expect
the same file.  First, what a hostile directory may hold (TRICKS): links at
the partial and the final name, whose target must stay untouched, a
directory at the final name, a read-only directory, a full disk, and two
captures at once; the machine file is one run's whole file or, where it
cannot be written, the console says so in one line, and the log is written
as ever.  Last (REFUSALS), machines the capture cannot write: it must refuse
them, in one line, without leaving a file.

With --runner, both programs run through it (tools/wine-run.sh for the
Windows builds); where it exits 77, the machine cannot run their code and the
whole check is skipped with 77.

usage: roundtrip.py [--runner RUNNER] CAPTURE PROGRAM SOURCE_DIR [MACHINE ...]
"""
import argparse
import concurrent.futures as concurrent_futures
import glob
import json
import os
import re
import resource
import shutil
import signal
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
    # Wine now and then fails to start a program among several starting at
    # once (exit 1, nothing said).  The programs always print a console line
    # and write their log, so a run that did neither never began: run it again.
    if RUNNER and done.returncode not in (0, SKIP) and not done.stdout \
            and not os.path.exists(os.path.join(directory, LOG_FILE)):
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


VICTIM = b"a file the capture may not touch\n"
NOBODY = 65534


def strip_run(text):
    """A log without what differs between two runs: the clock of its headers and the heap address."""
    return re.sub(rb"^Log Session: .*$", b"", HEAP_ADDRESS.sub(rb"\1", text), flags=re.M)


def unclocked(machine):
    """A captured machine without the clock, which a machine that sets none takes from the real one."""
    return re.sub(rb'^  "clock": [0-9]+,$', b"", machine, count=1, flags=re.M)


def link_at(name):
    def arrange(directory, victim):
        os.symlink(victim, os.path.join(directory, name))
    return arrange


def directory_at_machine_file(directory, _victim):
    os.makedirs(os.path.join(directory, MACHINE_FILE, "taken"))


def as_nobody():
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def reachable_by_nobody(scratch, *paths):
    """Copies of the capture and its machine where nobody can reach them: the build tree may sit
    below a directory only root may enter (a checkout in root's home, a private temporary one)."""
    copies = []
    for path in paths:
        copy = os.path.join(scratch, os.path.basename(path))
        shutil.copy(path, copy)
        os.chmod(copy, 0o755)
        copies.append(copy)
    return copies


def read_only(directory, _victim):
    """A directory the capture may not create files in, the log in it writable.  Root ignores
    permissions, so there the capture runs as nobody."""
    with open(os.path.join(directory, LOG_FILE), "wb"):
        pass
    os.chmod(os.path.join(directory, LOG_FILE), 0o666)
    os.chmod(directory, 0o555)
    os.chmod(os.path.dirname(directory), 0o755)
    return {"preexec_fn": as_nobody} if os.geteuid() == 0 else {}


def full_disk(directory, _victim, log_size):
    """Room for the log and little more: a small tmpfs where this machine lets the test mount
    one, otherwise a file-size limit that fails the machine file's writes the same way."""
    room = (log_size // 4096 + 2) * 4096
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={room}", "tmpfs", directory],
                             capture_output=True).returncode == 0
    if mounted:
        return {"cleanup": lambda: subprocess.run(["umount", directory], check=False)}

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (log_size + 4096, log_size + 4096))
    return {"preexec_fn": limit}


# What may stand where the capture writes, and whether the machine file is written all the same.
TRICKS = [
    ("a link at the old partial name", link_at(MACHINE_FILE + ".partial"), True),
    ("a link at the machine file's name", link_at(MACHINE_FILE), True),
    ("a directory at the machine file's name", directory_at_machine_file, False),
    ("a read-only directory", read_only, False),
    ("a full disk", full_disk, False),
]


def runner_reachable_by_nobody(scratch):
    """The runner and the loader it calls, beside each other where nobody can run them."""
    tools = os.path.join(scratch, "tools")
    os.mkdir(tools)
    os.chmod(tools, 0o755)
    script = RUNNER[-1]
    for name in (os.path.basename(script), "wine-loader.py"):
        copy = os.path.join(tools, name)
        shutil.copy(os.path.join(os.path.dirname(script), name), copy)
        os.chmod(copy, 0o755)
    return RUNNER[:-1] + [os.path.join(tools, os.path.basename(script))]


def run_in(capture, machine, directory, how, runner):
    env = dict(os.environ, TARSEL_MACHINE=os.path.abspath(machine))
    if "preexec_fn" in how and runner:
        # Wine keeps its prefix per user.
        prefix = os.path.join(os.path.dirname(directory), "prefix")
        os.makedirs(prefix, exist_ok=True)
        os.chown(prefix, NOBODY, NOBODY)
        env.update(WINEPREFIX=prefix, HOME=os.path.dirname(directory))
    done = subprocess.run(runner + [capture], cwd=directory, env=env, capture_output=True, timeout=600,
                          preexec_fn=how.get("preexec_fn"))
    if runner and done.returncode == SKIP:
        raise CannotRun(done.stdout.decode(errors="replace"))
    return done.returncode, done.stdout.decode(errors="replace").replace("\r\n", "\n")


def trick(capture, machine, reference, expected_log, name, arrange, written):
    """One trick: the capture leaves a whole file of its own, or says in one line it could not;
    the file a link points to is never touched, no partial file stays, the log is written."""
    with tempfile.TemporaryDirectory() as scratch:
        directory, victim = os.path.join(scratch, "run"), os.path.join(scratch, "victim")
        os.mkdir(directory)
        with open(victim, "wb") as f:
            f.write(VICTIM)
        how = (arrange(directory, victim, len(expected_log)) if arrange is full_disk else arrange(directory, victim)) or {}
        runner = RUNNER
        if how.get("preexec_fn") is as_nobody:
            capture, machine = reachable_by_nobody(scratch, capture, machine)
            if RUNNER:
                runner = runner_reachable_by_nobody(scratch)
        try:
            status, console = run_in(capture, machine, directory, how, runner)
            return judge(directory, victim, reference, expected_log, written, status, console)
        finally:
            if "cleanup" in how:
                how["cleanup"]()
            os.chmod(directory, 0o755)


def judge(directory, victim, reference, expected_log, written, status, console):
    final = os.path.join(directory, MACHINE_FILE)
    lines = console.splitlines()
    wanted = f"Machine file {MACHINE_FILE}" if written else f"Unable to write machine file {MACHINE_FILE}: "
    if status != 0 or len(lines) != 2 or lines[0] != "Enumeration successful" or not lines[1].startswith(wanted):
        return f"exit {status}, console {console!r}"
    with open(victim, "rb") as f:
        if f.read() != VICTIM:
            return "the file a link pointed to was written"
    if written and (os.path.islink(final) or unclocked(open(final, "rb").read()) != reference):
        return "the machine file is not this run's whole file"
    if glob.glob(os.path.join(glob.escape(directory), "*.partial*")) and not os.path.islink(
            os.path.join(directory, MACHINE_FILE + ".partial")):
        return "a partial machine file was left behind"
    with open(os.path.join(directory, LOG_FILE), "rb") as f:
        if strip_run(f.read()) != strip_run(expected_log):
            return "the log differs from the program's"
    return None


def concurrent(capture, machines, references, rounds=8):
    """Captures of two machines at once in one directory: each writes a whole file of its own,
    the last rename wins, no partial file stays."""
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(rounds):
            with concurrent_futures.ThreadPoolExecutor(max_workers=2) as pool:
                runs = list(pool.map(lambda m: run_in(capture, m, directory, {}, RUNNER), machines))
            if any(status != 0 or not console.endswith(f"Machine file {MACHINE_FILE}\n") for status, console in runs):
                return f"consoles: {runs!r}"
            with open(os.path.join(directory, MACHINE_FILE), "rb") as f:
                if unclocked(f.read()) not in references:
                    return "the machine file is neither run's whole file"
            if glob.glob(os.path.join(glob.escape(directory), "*.partial")):
                return "a partial machine file was left behind"
    return None


def long_windows_directory(machine):
    """Longer than the program's buffer: the run reads only its size, so the capture learns no
    directory, and a file without one would replay with the default's."""
    machine["windows_directory"] = "C:\\" + "\\".join(["Windows"] * 40)


# Machines whose answers no machine file the capture writes can give back: (name, how to make one
# from the first machine, the start of the console's reason).  The capture must find it out by
# replaying its own file, refuse in one line and write nothing.
REFUSALS = [
    ("a Windows directory longer than the buffer", long_windows_directory,
     'the machine file would replay differently from line 6: the run logged '
     '"ERROR GetSystemDeviceInfo GetWindowsDirectory 0", the replay logs "INFO GetSystemDeviceInfo Path: '),
]


def refused(capture, program, base, scratch, make, reason):
    """The capture of a machine it cannot write: the console gives the reason, no file is left
    behind, and the log is the program's."""
    with open(base) as f:
        machine = json.load(f)
    make(machine)
    path = os.path.join(scratch.name, "refused.json")
    with open(path, "w") as f:
        json.dump(machine, f)
    with tempfile.TemporaryDirectory() as plain, tempfile.TemporaryDirectory() as directory:
        expected_log = run(program, path, plain)[1]
        status, console = run_in(capture, path, directory, {}, RUNNER)
        if not console.startswith(f"Enumeration successful\nUnable to write machine file {MACHINE_FILE}: {reason}"):
            return f"exit {status}, console {console!r}"
        if os.listdir(directory) != [LOG_FILE]:
            return f"left {sorted(os.listdir(directory))}"
        with open(os.path.join(directory, LOG_FILE), "rb") as f:
            if strip_run(f.read()) != strip_run(expected_log):
                return "the log differs from the program's"
    return None


def file_system_tricks(capture, program, todo, scratch):
    """The rows of TRICKS on the first machine, then two captures at once, of that machine and of
    the same less its last device, so that the two take as long; (name, problem) each."""
    with open(todo[0]) as f:
        other = json.load(f)
    other["devices"] = other["devices"][:-1]
    machines = [todo[0], os.path.join(scratch.name, "one-device-less.json")]
    with open(machines[1], "w") as f:
        json.dump(other, f)
    references, logs = [], []
    for machine in machines:
        with tempfile.TemporaryDirectory() as plain, tempfile.TemporaryDirectory() as alone:
            logs.append(run(program, machine, plain)[1])
            run(capture, machine, alone)
            with open(os.path.join(alone, MACHINE_FILE), "rb") as f:
                references.append(unclocked(f.read()))
    results = [(name, trick(capture, machines[0], references[0], logs[0], name, arrange, written))
               for name, arrange, written in TRICKS]
    results.append(("two captures at once", concurrent(capture, machines, references)))
    results += [(name, refused(capture, program, todo[0], scratch, make, reason)) for name, make, reason in REFUSALS]
    return results


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
    tricks = file_system_tricks(capture, program, todo, scratch)
    for name, problem in tricks:
        print(f"{'FAIL' if problem else 'ok  '} {name}{': ' + problem if problem else ''}")
        failed += problem is not None
    # Wine's runs mostly wait on its start-up, so several go at once.
    with concurrent_futures.ThreadPoolExecutor(max_workers=4) as pool:
        problems = list(pool.map(lambda machine: check(capture, program, machine), todo))
    for machine, problem in zip(todo, problems):
        name = os.path.basename(machine) if machine.startswith(scratch.name) else os.path.relpath(machine, source)
        print(f"{'FAIL' if problem else 'ok  '} {name}{': ' + problem if problem else ''}")
        failed += problem is not None
    print(f"{failed} failed of {len(todo) + len(tricks)} checks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
