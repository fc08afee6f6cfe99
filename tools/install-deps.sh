#!/bin/sh
# Installs the Debian packages a build needs, only when something is missing.
#   tools/install-deps.sh linux     native build and tests
#   tools/install-deps.sh all       also the Windows cross build, Wine and the fuzzer
set -eu
what="${1:-all}"
packages="cmake make g++ googletest libgtest-dev nlohmann-json3-dev python3 python3-jsonschema"
if [ "$what" = all ]; then
    packages="$packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 clang libclang-rt-dev"
fi

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
case "$missing" in
    *:i386*) dpkg --print-foreign-architectures | grep -q i386 || $SUDO dpkg --add-architecture i386 ;;
esac
echo "Installing:$missing"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
