#!/bin/sh
# Runs the Windows program under Wine in a fresh directory, twice, and checks
# the console line, the exit status and the bytes of the log; then once more
# with cfgmgr32.dll disabled.
set -eu
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

run() {
    status=0
    "$here/wine-run.sh" "$exe" >console.txt 2>wine-errors.txt || status=$?
    # 77: the machine cannot execute this program's code (see wine-loader.py);
    # the runner's line says why.
    [ "$status" -ne 77 ] || { cat wine-errors.txt >&2; exit 77; }
    [ "$status" -eq 0 ] || { echo "exit status $status"; exit 1; }
    out="$(tr -d '\r' <console.txt)"
    [ "$out" = "Enumeration successful" ] || { echo "console: $out"; exit 1; }
}

run
python3 "$here/check-log.py" --expect-runs 1 enumerate-tarsel.txt
cp enumerate-tarsel.txt first-run.txt
run
python3 "$here/check-log.py" --expect-runs 2 --prefix first-run.txt enumerate-tarsel.txt

# A machine without cfgmgr32.dll: its operations take their fallbacks and the
# run still completes with a well-formed log.
mkdir no-cfgmgr32
cd no-cfgmgr32
(export WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32=d"; run)
python3 "$here/check-log.py" --expect-runs 1 enumerate-tarsel.txt
echo "wine smoke: ok"
