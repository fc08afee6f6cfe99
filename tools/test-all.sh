#!/bin/sh
# Builds and runs every test: the Linux build, the sanitizer build, and the
# Windows build (its test programs and a smoke run of the program under Wine)
# and a short run of the fuzzer over the whole enumeration.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh all

for preset in linux linux-asan windows fuzz; do
    echo "=== $preset ==="
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
