#!/bin/sh
# Installs the Debian packages a build needs, only when something is missing.
#   tools/install-deps.sh linux     native build and tests
#   tools/install-deps.sh all       also the Windows cross builds, wine64, the fuzzer
#                                   and, where the machine can have it, 32-bit Wine
#
# Package mirrors are often mid-sync and the i386 index can lag the amd64 one,
# so a failed index update is retried and then worked around, and 32-bit Wine
# is an optional second step: without it the 32-bit Windows tests are skipped,
# never failed.  Chromium, for the report's browser test, is optional the same
# way: where it cannot be installed that test is skipped.  Only a failed
# install of a required package stops this script.
set -eu
what="${1:-all}"
required="cmake make g++ googletest libgtest-dev nlohmann-json3-dev python3 python3-jsonschema"
optional=""
if [ "$what" = all ]; then
    required="$required g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 clang libclang-rt-dev"
    optional="wine wine32:i386"
fi
tries="${TARSEL_APT_TRIES:-3}"
pause="${TARSEL_APT_PAUSE:-5}"

missing_of() {
    out=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || out="$out $p"
    done
    echo "$out"
}

# Runs apt-get's index update, retrying a mirror caught mid-sync; when every
# try fails, the lists at hand still serve the installs.
update_index() {
    n=1
    while :; do
        if $SUDO apt-get update -q; then
            return 0
        fi
        if [ "$n" -ge "$tries" ]; then
            echo "apt-get update failed $tries times; installing with the package lists at hand"
            return 0
        fi
        echo "apt-get update failed (try $n of $tries); trying again in ${pause}s"
        n=$((n + 1))
        sleep "$pause"
    done
}

# The reason apt gave for refusing an install, in a few words.
apt_reason() {
    if grep -Eq "held (broken )?packages" "$1"; then
        echo "apt-get: held broken packages"
    elif line="$(grep '^E: ' "$1" | tail -n 1)" && [ -n "$line" ]; then
        echo "apt-get: ${line#E: }"
    else
        echo "apt-get failed"
    fi
}

missing_required="$(missing_of $required)"
missing_optional="$(missing_of $optional)"
missing_browser=""
[ "$what" != all ] || missing_browser="$(missing_of chromium)"
[ -z "$missing_required$missing_optional$missing_browser" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
skip32=""
case "$missing_optional" in
    *:i386*)
        dpkg --print-foreign-architectures | grep -q i386 ||
            $SUDO dpkg --add-architecture i386 || skip32="dpkg: the i386 architecture could not be added"
        ;;
esac

update_index
if [ -n "$missing_required" ]; then
    echo "Installing:$missing_required"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing_required
fi

if [ -n "$missing_browser" ]; then
    echo "Installing:$missing_browser"
    blog="$(mktemp)"
    if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
        $missing_browser >"$blog" 2>&1; then
        echo "Chromium could not be installed ($(apt_reason "$blog")); the report's browser test will be skipped"
    fi
    rm -f "$blog"
fi

[ -n "$missing_optional" ] || exit 0
if [ -z "$skip32" ]; then
    echo "Installing:$missing_optional"
    log="$(mktemp)"
    trap 'rm -f "$log"' EXIT
    if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
        $missing_optional >"$log" 2>&1; then
        cat "$log"
        exit 0
    fi
    cat "$log"
    skip32="$(apt_reason "$log")"
fi
echo "32-bit Wine could not be installed ($skip32); the 32-bit Windows tests will be skipped"
