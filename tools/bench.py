#!/usr/bin/env python3
"""Benchmark: the Linux program on generated machines against the write-per-line floor.

    tools/bench.py [--sizes 100,1000,5000] [--runs 5] [--seed 1] [--no-build]

Builds the `bench` preset (Release, -O2 -DNDEBUG, build/bench) and
tools/floor.cpp, generates one machine per size with tools/gen-machine.py,
then for each size runs, side by side and --runs times each, the program
(TARSEL_MACHINE=<machine>, in an empty directory) and the floor program,
which appends the very log the program wrote, one write() per line.  Each
measurement is a whole process: wall time, user+system CPU time and peak
resident memory from wait4().  The best (lowest wall) of the runs is
reported, since other builds share the machine's cores.  OS operations are
the simulator's call count (TARSEL_SIM_STATS).  Beside each program run, the
capture (enumerate-tarsel-capture) runs on the same machine, and must write
its machine file: its wall time and peak resident memory are compared with
the program's.  Prints Markdown tables.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
PROGRAM = os.path.join(BUILD, "enumerate-tarsel")
FLOOR = os.path.join(BUILD, "floor")
CAPTURE = os.path.join(BUILD, "enumerate-tarsel-capture")


def build():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "enumerate-tarsel", "enumerate-tarsel-capture",
                    "-j2"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    src = os.path.join(ROOT, "tools", "floor.cpp")
    if not os.path.exists(FLOOR) or os.path.getmtime(FLOOR) < os.path.getmtime(src):
        subprocess.run(["c++", "-std=c++20", "-O2", "-DNDEBUG", "-Wall", "-Wextra", "-Werror", src, "-o", FLOOR], check=True)


def measure(argv, cwd, env):
    """Runs one process; returns (wall s, cpu s, max RSS KiB, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, proc.returncode


def read_stats(path):
    """The simulator's counts: {"calls": N, "boot_wall_us": N, "boot_cpu_us": N}."""
    with open(path) as f:
        stats = dict((k, int(v)) for k, v in (line.split() for line in f if line.strip()))
    if not {"calls", "boot_wall_us", "boot_cpu_us"} <= set(stats):
        raise RuntimeError("unexpected stats file " + path)
    return stats


def bench_size(devices, seed, runs, work):
    machine = os.path.join(work, "machine-%d.json" % devices)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen-machine.py"), "--devices", str(devices),
                    "--seed", str(seed), "--output", machine], check=True)
    best_prog = best_floor = best_capture = None
    capture_rss = 0
    rss = 0
    lines = calls = None
    for _ in range(runs):
        run_dir = tempfile.mkdtemp(dir=work)
        stats = os.path.join(run_dir, "stats.txt")
        env = dict(os.environ, TARSEL_MACHINE=machine, TARSEL_SIM_STATS=stats)
        prog = measure([PROGRAM], run_dir, env)
        if prog[3] != 0:
            raise RuntimeError("program failed with %d on %s" % (prog[3], machine))
        log = os.path.join(run_dir, "enumerate-tarsel.txt")
        with open(log, "rb") as f:
            data = f.read()
        n = data.count(b"\r\n")
        counts = read_stats(stats)
        if lines is not None and (n != lines or counts["calls"] != calls):
            raise RuntimeError("runs on %s differ" % machine)
        lines, calls = n, counts["calls"]
        # The program's own time: the whole process less loading the machine
        # file, which the program on Windows does not do.
        prog = prog + (prog[0] - counts["boot_wall_us"] / 1e6, prog[1] - counts["boot_cpu_us"] / 1e6,
                       counts["boot_wall_us"] / 1e6)
        out = os.path.join(run_dir, "floor.txt")
        flo = measure([FLOOR, log, out], run_dir, dict(os.environ))
        if flo[3] != 0:
            raise RuntimeError("floor failed")
        with open(out, "rb") as f:
            if f.read() != data:
                raise RuntimeError("floor wrote a different log")
        captured = measure([CAPTURE], run_dir, dict(os.environ, TARSEL_MACHINE=machine))
        if captured[3] != 0 or not os.path.exists(os.path.join(run_dir, "enumerate-tarsel-machine.json")):
            raise RuntimeError("the capture wrote no machine file for %s" % machine)
        if best_capture is None or captured[0] < best_capture[0]:
            best_capture = captured
        capture_rss = max(capture_rss, captured[2])
        rss = max(rss, prog[2])
        if best_prog is None or prog[0] < best_prog[0]:
            best_prog = prog
        if best_floor is None or flo[0] < best_floor[0]:
            best_floor = flo
        shutil.rmtree(run_dir)
    return {"devices": devices, "lines": lines, "calls": calls, "wall": best_prog[0], "cpu": best_prog[1],
            "run_wall": best_prog[4], "run_cpu": best_prog[5], "load": best_prog[6],
            "rss": rss, "floor": best_floor[0], "floor_cpu": best_floor[1],
            "capture": best_capture[0], "capture_rss": capture_rss}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,1000,5000")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-build", action="store_true", help="use the binaries already in build/bench")
    args = parser.parse_args()
    if not args.no_build:
        build()
    work = tempfile.mkdtemp(prefix="tarsel-bench-")
    try:
        rows = [bench_size(int(n), args.seed, args.runs, work) for n in args.sizes.split(",")]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("| devices | log lines | OS operations | wall (ms) | CPU (ms) | machine load (ms) | max RSS (MiB) "
          "| µs per line | floor wall (ms) | floor CPU (ms) | program / floor | without load / floor |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| %d | %d | %d | %.1f | %.1f | %.1f | %.1f | %.2f | %.1f | %.1f | %.2f | %.2f |" % (
            r["devices"], r["lines"], r["calls"], r["wall"] * 1e3, r["cpu"] * 1e3, r["load"] * 1e3,
            r["rss"] / 1024.0, r["wall"] * 1e6 / max(r["lines"], 1), r["floor"] * 1e3, r["floor_cpu"] * 1e3,
            r["wall"] / r["floor"], r["run_wall"] / r["floor"]))
    print()
    print("The capture beside the program (best wall, largest peak RSS):")
    print()
    print("| devices | program wall (ms) | capture wall (ms) | capture / program | program RSS (MiB) "
          "| capture RSS (MiB) | capture / program |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| %d | %.1f | %.1f | %.2f | %.1f | %.1f | %.2f |" % (
            r["devices"], r["wall"] * 1e3, r["capture"] * 1e3, r["capture"] / r["wall"], r["rss"] / 1024.0,
            r["capture_rss"] / 1024.0, r["capture_rss"] / r["rss"]))
    if len(rows) > 1:
        print()
        print("Growth between sizes (ratio of the larger to the smaller):")
        print()
        print("| from → to | devices | OS operations | log lines | program wall | without load | CPU without load |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for a, b in zip(rows, rows[1:]):
            print("| %d → %d | %.1f× | %.1f× | %.1f× | %.1f× | %.1f× | %.1f× |" % (
                a["devices"], b["devices"], b["devices"] / a["devices"], b["calls"] / a["calls"],
                b["lines"] / a["lines"], b["wall"] / a["wall"], b["run_wall"] / a["run_wall"],
                b["run_cpu"] / a["run_cpu"]))


if __name__ == "__main__":
    main()
