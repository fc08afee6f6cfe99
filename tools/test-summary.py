#!/usr/bin/env python3
"""Summarises the test command's CTest results: one line per preset with the
tests passed, failed and skipped, the reasons the 32-bit Windows tests were
skipped (as their runner printed them), and a closing total.  Exits 1 when a
preset failed to build, has no test or failed one.

usage: test-summary.py RESULTS_DIR PRESET...   (RESULTS_DIR/PRESET.xml is
CTest's JUnit output; RESULTS_DIR/PRESET.failed-build marks a failed build)
"""
import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from importlib import import_module

SKIP_LINES = import_module("wine-loader").SKIP_LINES
UNKNOWN_SKIP = "the 32-bit Windows tests were skipped; their output says why"


def count(path, reasons):
    """Counts a preset's results and adds to reasons each known skip line that
    a skipped test printed."""
    passed = failed = skipped = 0
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.find("skipped") is not None:
            skipped += 1
            out = case.findtext("system-out") or ""
            reasons.update(line for line in SKIP_LINES if line in out)
        elif case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        else:
            passed += 1
    return passed, failed, skipped


def main():
    results, presets = sys.argv[1], sys.argv[2:]
    totals = [0, 0, 0]
    bad = False
    windows_skipped = False
    reasons = set()
    for preset in presets:
        xml = os.path.join(results, preset + ".xml")
        if os.path.exists(os.path.join(results, preset + ".failed-build")):
            print(f"{preset}: build failed")
            bad = True
            continue
        if not os.path.exists(xml):
            print(f"{preset}: no test results")
            bad = True
            continue
        passed, failed, skipped = count(xml, reasons if preset == "windows" else set())
        print(f"{preset}: {passed} passed, {failed} failed, {skipped} skipped")
        totals = [t + n for t, n in zip(totals, (passed, failed, skipped))]
        bad = bad or failed > 0 or passed + failed + skipped == 0
        windows_skipped = windows_skipped or (preset == "windows" and skipped > 0)
    if windows_skipped:
        for line in [line for line in SKIP_LINES if line in reasons] or [UNKNOWN_SKIP]:
            print(line)
    print(f"total: {totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
