#!/usr/bin/env python3
"""Checks that a log file is well formed: every line ends with CR LF, every run
starts with the 79-dash header and the time line, every line is a trace line,
a dump line or part of the three list sections, and each run ends with the
three sections in order."""
import argparse
import re
import sys

DASHES = b"-" * 79
TRACE = re.compile(rb"^(ENTER|LEAVE|INFO|ERROR) \S")
DUMP = re.compile(rb"^\t [A-Za-z_]+ ")


def check(data, expect_runs):
    if not data.endswith(b"\r\n"):
        return "the log does not end with CR LF"
    lines = data[:-2].split(b"\r\n")
    if any(b"\n" in line or b"\r" in line for line in lines):
        return "a line ends with a bare LF or CR"
    runs = 0
    i = 0
    while i < len(lines):
        if lines[i] != DASHES or i + 2 >= len(lines):
            return "line %d: expected the header rule" % (i + 1)
        if not re.fullmatch(rb"Log Session: -?[0-9]+", lines[i + 1]) or lines[i + 2] != DASHES:
            return "line %d: bad header" % (i + 2)
        runs += 1
        i += 3
        while i < len(lines) and (TRACE.match(lines[i]) or DUMP.match(lines[i])):
            i += 1
        for heading in (b"All devices: ", b"Hooked devices legacy: ", b"Hooked devices: "):
            if i + 1 >= len(lines) or lines[i] != b"" or lines[i + 1] != heading:
                return "line %d: expected the section %r" % (i + 1, heading)
            i += 2
            while i < len(lines) and lines[i].startswith(b"\t"):
                i += 1
    if expect_runs is not None and runs != expect_runs:
        return "expected %d runs, found %d" % (expect_runs, runs)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("--expect-runs", type=int)
    parser.add_argument("--prefix", help="a file whose bytes the log must start with")
    args = parser.parse_args()
    data = open(args.log, "rb").read()
    if args.prefix:
        prefix = open(args.prefix, "rb").read()
        if not data.startswith(prefix):
            print("the earlier bytes of the log changed")
            return 1
    problem = check(data, args.expect_runs)
    if problem:
        print(problem)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
