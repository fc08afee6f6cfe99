#!/bin/sh
# Runs the Windows program under Wine in a fresh directory, twice, and checks
# the console line, the exit status and the bytes of the log.
set -eu
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

run() {
    status=0
    "$here/wine-run.sh" "$exe" >console.txt 2>/dev/null || status=$?
    [ "$status" -eq 0 ] || { echo "exit status $status"; exit 1; }
    out="$(tr -d '\r' <console.txt)"
    [ "$out" = "Enumeration successful" ] || { echo "console: $out"; exit 1; }
}

run
python3 "$here/check-log.py" --expect-runs 1 enumerate-tarsel.txt
cp enumerate-tarsel.txt first-run.txt
run
python3 "$here/check-log.py" --expect-runs 2 --prefix first-run.txt enumerate-tarsel.txt
echo "wine smoke: ok"
