#!/bin/sh
# Makes the package a support team hands out: builds the programs of both
# Windows presets (stripped, with their version resource and manifest) and
# writes OUTDIR/enumerate-tarsel-<version>-windows.zip holding them, the
# support guide, the report guide and SHA256SUMS.
#   tools/release.sh [OUTDIR]        OUTDIR defaults to build/release
set -eu
cd "$(dirname "$0")/.."
out="${1:-build/release}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
programs="enumerate-tarsel enumerate-tarsel-capture enumerate-tarsel-report"

# The time anything of the build records, and the package's file times: the
# commit's, so that one commit gives one package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || echo 315532800)"
fi
export SOURCE_DATE_EPOCH

for preset in windows windows64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target $programs
done
version="$(cat build/windows/VERSION)"
if [ "$(cat build/windows64/VERSION)" != "$version" ]; then
    echo "release: the two builds disagree on the version" >&2
    exit 1
fi

name="enumerate-tarsel-$version-windows"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/32-bit" "$stage/$name/64-bit" "$stage/$name/docs"
for program in $programs; do
    cp "build/windows/$program.exe" "$stage/$name/32-bit/"
    cp "build/windows64/$program.exe" "$stage/$name/64-bit/"
done
cp SUPPORT.md "$stage/$name/"
cp docs/report.md "$stage/$name/docs/"
(cd "$stage/$name" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >"$stage/sums")
mv "$stage/sums" "$stage/$name/SHA256SUMS"

# Entries in name order with fixed times and modes: the same files give the
# same ZIP.
python3 - "$stage" "$name" "$out/$name.zip" <<'PY'
import os, sys, time, zipfile
stage, name, target = sys.argv[1:]
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
files = sorted(os.path.relpath(os.path.join(d, f), stage)
               for d, _, fs in os.walk(os.path.join(stage, name)) for f in fs)
with zipfile.ZipFile(target + ".partial", "w", zipfile.ZIP_DEFLATED) as package:
    for path in files:
        entry = zipfile.ZipInfo(path, stamp)
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, path), "rb") as f:
            package.writestr(entry, f.read())
os.replace(target + ".partial", target)
PY
echo "release: $out/$name.zip"
