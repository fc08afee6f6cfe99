#!/bin/sh
# Runs a Windows program under Wine with a private, quiet prefix: a 64-bit
# program under wine64, a 32-bit one under 32-bit Wine.  Exits with 77 (the
# tests' skip status) when this machine cannot execute 32-bit x86 code.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
status=0
loader="$(python3 "$here/wine-loader.py" "$1")" || status=$?
[ "$status" -eq 0 ] || exit "$status"
export WINEDEBUG=-all
export WINELOADER="$loader"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/enumerate-tarsel-wine}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "$loader" "$@"
