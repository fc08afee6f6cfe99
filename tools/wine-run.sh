#!/bin/sh
# Runs a Windows program under Wine with a private, quiet prefix.
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/enumerate-tarsel-wine}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
