#!/bin/sh
# Builds and runs every test: the Linux build, the sanitizer build, both
# Windows builds (their test programs and a smoke run of the program under
# Wine) and a short run of each fuzzer (the whole enumeration, the report
# over a log, the machine reader and writer); then prints
# what each preset passed, failed and skipped.  Exits non-zero if anything
# failed to build or a test failed.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh all

results="$(mktemp -d)"
trap 'rm -rf "$results"' EXIT
status=0
for preset in linux linux-asan windows windows64 fuzz; do
    echo "=== $preset ==="
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; }; then
        echo "$preset: build failed" >"$results/$preset.failed-build"
        status=1
        continue
    fi
    ctest --preset "$preset" --output-junit "$results/$preset.xml" || status=1
done

echo "=== summary ==="
python3 tools/test-summary.py "$results" linux linux-asan windows windows64 fuzz || status=1
exit "$status"
