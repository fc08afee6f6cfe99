#!/usr/bin/env python3
"""Prints the Wine loader that runs a Windows program: wine64 for an x86-64
program, 32-bit Wine for an i386 one.

A machine may refuse 32-bit x86 code altogether (the kernel answers "Exec
format error" to every 32-bit ELF), or have no 32-bit Wine at all (its
packages cannot always be installed), so the 32-bit loader is tried before it
is named; where it is missing or cannot be executed this prints why on stderr
and exits with 77, the status the Windows tests report as skipped.  Any other
failure to run a loader is an error, reported in one line.

Debian's `wine` script always prefers the 32-bit loader, so the loaders are
named directly.
"""
import errno
import os
import struct
import subprocess
import sys

SKIP = 77
SKIP_LINE = ("this machine cannot execute 32-bit x86 code; the 32-bit Windows tests were skipped; "
             "the 64-bit ones ran")
MISSING_LINE = ("32-bit Wine is not installed on this machine; the 32-bit Windows tests were skipped; "
                "the 64-bit ones ran")
# Every reason the 32-bit tests can be skipped for, as the test summary repeats them.
SKIP_LINES = (SKIP_LINE, MISSING_LINE)
LOADERS = {0x14C: os.environ.get("TARSEL_WINE32", "/usr/lib/wine/wine"),
           0x8664: os.environ.get("TARSEL_WINE64", "/usr/lib/wine/wine64")}


def pe_machine(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if len(head) < 64 or head[:2] != b"MZ":
        raise ValueError(f"{path}: not a Windows program")
    (pe,) = struct.unpack_from("<I", head, 0x3C)
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: no PE header")
    (machine,) = struct.unpack_from("<H", head, pe + 4)
    return machine


def skip_reason(loader):
    """Runs the 32-bit loader once: None where it ran, else the line that says
    why the 32-bit tests are skipped.  subprocess executes it directly, with no
    shell that would retry the file as a script.  Failures other than a
    missing loader or the kernel's refusal are errors, not reasons to skip."""
    try:
        subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=120, check=False)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return SKIP_LINE
        if e.errno == errno.ENOENT:
            return MISSING_LINE
        sys.exit(f"{loader}: {e.strerror}")
    except subprocess.TimeoutExpired:
        sys.exit(f"{loader}: no answer to --version in 120 s")
    return None


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: wine-loader.py PROGRAM.exe")
    try:
        machine = pe_machine(sys.argv[1])
    except (OSError, ValueError) as e:
        sys.exit(str(e))
    loader = LOADERS.get(machine)
    if loader is None:
        sys.exit(f"{sys.argv[1]}: machine type 0x{machine:X} is neither i386 nor x86-64")
    if machine == 0x14C:
        reason = skip_reason(loader)
        if reason:
            print(reason, file=sys.stderr)
            sys.exit(SKIP)
    elif not os.access(loader, os.X_OK):
        sys.exit(f"{loader}: no such program; the 64-bit Windows tests need wine64 (tools/install-deps.sh all)")
    print(loader)


if __name__ == "__main__":
    main()
