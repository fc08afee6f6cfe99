#!/usr/bin/env python3
"""Checks how the Windows tests choose their Wine loader: by the program's
own header, and for 32-bit programs only after the 32-bit loader has really
been executed.  A machine that refuses 32-bit code is stood in for by a
loader the kernel refuses the same way (an ELF for another architecture:
execve fails with ENOEXEC, "Exec format error"); a machine without 32-bit
Wine by a loader path where nothing is."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
LOADER = __import__("importlib").import_module("wine-loader")
SKIP_LINE, MISSING_LINE = LOADER.SKIP_LINE, LOADER.MISSING_LINE


def pe(path, machine):
    head = bytearray(0x100)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x80)
    head[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", head, 0x84, machine)
    with open(path, "wb") as f:
        f.write(head)


def refused_elf(path):
    # A 32-bit ARM executable header: no x86 kernel will execute it.
    head = bytearray(52)
    head[0:7] = b"\x7fELF\x01\x01\x01"
    struct.pack_into("<HHIIIIIHHHHHH", head, 16, 2, 40, 1, 0x8000, 52, 0, 0, 52, 32, 0, 40, 0, 0)
    with open(path, "wb") as f:
        f.write(head)
    os.chmod(path, 0o755)


def script(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)


class WineLoaderTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        d = self.dir.name
        self.refused = os.path.join(d, "refused")
        refused_elf(self.refused)
        self.wine32 = os.path.join(d, "wine32")
        script(self.wine32, 'echo "wine32 $*"')
        self.wine64 = os.path.join(d, "wine64")
        script(self.wine64, 'echo "wine64 $*"')
        self.missing = os.path.join(d, "no-such-dir", "wine")
        self.exe32, self.exe64, self.text = (os.path.join(d, n) for n in ("a32.exe", "a64.exe", "t.exe"))
        pe(self.exe32, 0x14C)
        pe(self.exe64, 0x8664)
        with open(self.text, "w") as f:
            f.write("not a program\n")

    def tearDown(self):
        self.dir.cleanup()

    def run_tool(self, tool, exe, wine32, wine64=None):
        env = dict(os.environ, TARSEL_WINE32=wine32, TARSEL_WINE64=wine64 or self.wine64,
                   WINEPREFIX=os.path.join(self.dir.name, "prefix"))
        cmd = [sys.executable, os.path.join(TOOLS, "wine-loader.py"), exe] if tool == "loader" else \
              ["sh", os.path.join(TOOLS, "wine-run.sh"), exe, "arg"]
        return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)

    def test_choice_of_loader(self):
        cases = [
            # tool, program, 32-bit loader, status, stdout, stderr
            ("loader", "exe32", "wine32", 0, "{wine32}\n", ""),
            ("loader", "exe32", "refused", 77, "", SKIP_LINE + "\n"),
            ("loader", "exe64", "refused", 0, "{wine64}\n", ""),  # 64-bit never tries the 32-bit loader
            ("run", "exe32", "wine32", 0, "wine32 {exe32} arg\n", ""),
            ("run", "exe64", "wine32", 0, "wine64 {exe64} arg\n", ""),
            ("run", "exe32", "refused", 77, "", SKIP_LINE + "\n"),
            ("loader", "exe32", "missing", 77, "", MISSING_LINE + "\n"),  # no 32-bit Wine installed
            ("run", "exe32", "missing", 77, "", MISSING_LINE + "\n"),
            ("run", "exe64", "missing", 0, "wine64 {exe64} arg\n", ""),
        ]
        names = {"wine32": self.wine32, "wine64": self.wine64, "exe32": self.exe32, "exe64": self.exe64}
        for tool, exe, wine32, status, out, err in cases:
            with self.subTest(tool=tool, exe=exe, wine32=wine32):
                r = self.run_tool(tool, getattr(self, exe), getattr(self, wine32))
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (status, out.format(**names), err.format(**names)))

    def test_a_missing_wine64_fails_in_one_line(self):
        r = self.run_tool("loader", self.exe64, self.wine32, wine64=self.missing)
        self.assertNotIn(r.returncode, (0, 77))
        self.assertEqual(r.stderr.splitlines(), [r.stderr.strip()])
        self.assertIn(self.missing, r.stderr)

    def test_what_is_not_a_windows_program_fails(self):
        for exe in (self.text, os.path.join(self.dir.name, "missing.exe")):
            with self.subTest(exe=exe):
                r = self.run_tool("run", exe, self.wine32)
                self.assertNotIn(r.returncode, (0, 77))
                self.assertIn(exe, r.stderr)


class SummaryTest(unittest.TestCase):
    def summarise(self, windows_out):
        """The summary of three presets, the 32-bit tests skipped with windows_out
        as their output."""
        summary = os.path.join(TOOLS, "test-summary.py")
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "windows.xml"), "w") as f:
                f.write(f'<testsuite><testcase name="a"><skipped/><system-out>{windows_out}</system-out></testcase>'
                        '<testcase name="b"><skipped/></testcase></testsuite>')
            with open(os.path.join(d, "linux.xml"), "w") as f:
                f.write('<testsuite><testcase name="a"/><testcase name="b"><failure/></testcase>'
                        '<testcase name="c"/></testsuite>')
            open(os.path.join(d, "fuzz.failed-build"), "w").close()
            return subprocess.run([sys.executable, summary, d, "linux", "windows", "fuzz"],
                                  capture_output=True, text=True, timeout=60)

    def test_counts_and_the_skip_line(self):
        for out, reason in ((f"skipped: {SKIP_LINE}\n", SKIP_LINE), (MISSING_LINE, MISSING_LINE),
                            ("", "the 32-bit Windows tests were skipped; their output says why")):
            with self.subTest(reason=reason):
                r = self.summarise(out)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.splitlines(), [
                    "linux: 2 passed, 1 failed, 0 skipped",
                    "windows: 0 passed, 0 failed, 2 skipped",
                    "fuzz: build failed",
                    reason,
                    "total: 2 passed, 1 failed, 2 skipped",
                ])


if __name__ == "__main__":
    unittest.main()
