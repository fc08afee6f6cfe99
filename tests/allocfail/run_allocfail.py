#!/usr/bin/env python3
"""Runs the whole enumeration on the default machine once per allocation the
program makes, failing that one allocation, and checks every run:

- exit status 0 and exactly one console line, "Enumeration successful" or
  "Unexpected error during enumeration";
- no sanitizer report and no leak on stderr;
- a log of complete lines: a successful run's log is well formed as
  tools/check-log.py checks it, a run cut short by the exception has only
  complete lines and is, line by line, a prefix of a normal run's log (the
  time and the heap address after "LEAVE GetMediaTypes " masked).

Runs are separate processes, two at a time, each in its own directory.  When a
normal run makes more than --bound allocations, every K up to the bound is
tested plus a spread sample of --sample values beyond it.

usage: run_allocfail.py ALLOCFAIL_RUN CHECK_LOG_PY [--bound N] [--sample N]
"""
import argparse
import concurrent.futures
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

OK_LINES = ("Enumeration successful", "Unexpected error during enumeration")
SANITIZER = re.compile(r"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:")
MASKS = [
    (re.compile(rb"^Log Session: -?[0-9]+$"), b"Log Session: <time>"),
    (re.compile(rb"^(LEAVE GetMediaTypes )[0-9A-F]{8}( .*)?$"), rb"\1<address>\2"),
]


def load_checker(path):
    loader_spec = importlib.util.spec_from_file_location("check_log", path)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module.check


def mask(line):
    for pattern, replacement in MASKS:
        line = pattern.sub(replacement, line)
    return line


def run(program, k, workdir):
    env = dict(os.environ)
    env.pop("TARSEL_MACHINE", None)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    p = subprocess.run([program, str(k)], cwd=workdir, env=env, capture_output=True, timeout=120)
    log_path = os.path.join(workdir, "enumerate-tarsel.txt")
    log = open(log_path, "rb").read() if os.path.exists(log_path) else None
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1"), log


def allocation_count(stderr):
    m = re.search(r"allocations: ([0-9]+) failed: (yes|no)\s*$", stderr)
    return (int(m.group(1)), m.group(2) == "yes") if m else (None, None)


def check_run(program, check_log, normal_lines, k, root):
    workdir = os.path.join(root, "k%d" % k)
    os.mkdir(workdir)
    status, out, err, log = run(program, k, workdir)
    where = "K=%d" % k
    if SANITIZER.search(err):
        return "%s: sanitizer report:\n%s" % (where, err[-4000:])
    if status != 0:
        return "%s: exit status %d\n%s" % (where, status, err[-2000:])
    lines = out.splitlines()
    if len(lines) != 1 or lines[0] not in OK_LINES:
        return "%s: unexpected console output %r" % (where, out)
    _, failed = allocation_count(err)
    if not failed:
        return "%s: the allocation to fail was never reached" % where
    if log is None:
        return "%s: no log file" % where
    if lines[0] == OK_LINES[0]:
        problem = check_log(log, 1)
        return "%s: succeeded but the log is malformed: %s" % (where, problem) if problem else None
    if log and not log.endswith(b"\r\n"):
        return "%s: the log ends with an incomplete line" % where
    got = log[:-2].split(b"\r\n") if log else []
    if any(b"\r" in line or b"\n" in line for line in got):
        return "%s: a line ends with a bare CR or LF" % where
    if len(got) > len(normal_lines):
        return "%s: the log is longer than a normal run's" % where
    for i, line in enumerate(got):
        if mask(line) != normal_lines[i]:
            return "%s: log line %d differs from a normal run's: %r, expected %r" % (
                where, i + 1, line, normal_lines[i])
    shutil.rmtree(workdir, ignore_errors=True)
    return None


def choose(total, bound, sample):
    if total <= bound:
        return list(range(1, total + 1))
    rest = total - bound
    extra = sorted({bound + 1 + (rest - 1) * i // max(sample - 1, 1) for i in range(sample)})
    return list(range(1, bound + 1)) + [k for k in extra if k <= total]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("check_log")
    parser.add_argument("--bound", type=int, default=2000)
    parser.add_argument("--sample", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    check_log = load_checker(args.check_log)

    with tempfile.TemporaryDirectory(prefix="allocfail-") as root:
        normal_dir = os.path.join(root, "normal")
        os.mkdir(normal_dir)
        status, out, err, log = run(args.program, 0, normal_dir)
        total, failed = allocation_count(err)
        if status != 0 or out != "Enumeration successful\n" or total is None or failed or SANITIZER.search(err):
            print("the normal run failed: status %d, console %r\n%s" % (status, out, err[-4000:]))
            return 1
        problem = check_log(log or b"", 1)
        if problem:
            print("the normal run's log is malformed: %s" % problem)
            return 1
        if total == 0:
            print("the normal run made no allocation: the counting is broken")
            return 1
        normal_lines = [mask(line) for line in log[:-2].split(b"\r\n")]

        ks = choose(total, args.bound, args.sample)
        print("a normal run makes %d allocations; testing %d of them%s" % (
            total, len(ks), "" if len(ks) == total else " (all up to %d, a spread sample of %d beyond)" % (args.bound, len(ks) - args.bound)))
        problems = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = {pool.submit(check_run, args.program, check_log, normal_lines, k, root): k for k in ks}
            for future in concurrent.futures.as_completed(futures):
                problem = future.result()
                if problem:
                    problems.append((futures[future], problem))
        # Every failing K in one line each, the first reports in full.
        for i, (_, problem) in enumerate(sorted(problems)):
            print(problem if i < 5 else problem.splitlines()[0])
        print("%d passed, %d failed" % (len(ks) - len(problems), len(problems)))
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
