#!/usr/bin/env python3
"""Summarises the test command's CTest results: one line per preset with the
tests passed, failed and skipped, the reason for skipped Windows tests, and a
closing total.  Exits 1 when a preset failed to build, has no test or failed one.

usage: test-summary.py RESULTS_DIR PRESET...   (RESULTS_DIR/PRESET.xml is
CTest's JUnit output; RESULTS_DIR/PRESET.failed-build marks a failed build)
"""
import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from importlib import import_module

SKIP_LINE = import_module("wine-loader").SKIP_LINE


def count(path):
    passed = failed = skipped = 0
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.find("skipped") is not None:
            skipped += 1
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
        passed, failed, skipped = count(xml)
        print(f"{preset}: {passed} passed, {failed} failed, {skipped} skipped")
        totals = [t + n for t, n in zip(totals, (passed, failed, skipped))]
        bad = bad or failed > 0 or passed + failed + skipped == 0
        windows_skipped = windows_skipped or (preset == "windows" and skipped > 0)
    if windows_skipped:
        print(SKIP_LINE)
    print(f"total: {totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
