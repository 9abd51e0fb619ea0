#!/bin/sh
# The end-to-end tests against the ARM64 launcher, with the ARM64 stand-in
# and spawn.exe, run by Debian's arm64 Wine inside the arm64 root under
# qemu; then the zip's bytes as the root's arm64 Python writes them. The
# harness itself runs here; the source tree (with the build) and the
# temporary folder are mounted at their own paths inside the root, so every
# path means the same on both sides.
#   run-arm64.sh ARM64_ROOT ARM64_BUILD
set -eu
root=$(realpath "$1")
build=$(realpath "$2")
shift 2
source_dir=$(realpath "$(dirname "$0")/../..")
tools=$source_dir/tools
tmp=$(realpath "${TMPDIR:-/tmp}")

trap 'sh "$tools/arm64-root.sh" unmount "$root"' EXIT
sh "$tools/arm64-root.sh" mount "$root" "$source_dir" "$tmp"

export HL_WINE_ROOT="$root" WINEPREFIX="$build/wineprefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" HL_LAUNCHER="$build/Harbor-Lantern.exe" \
    HL_STAND_IN="$build/stand_in_python.exe" HL_SPAWN="$build/spawn.exe"
start=$(date +%s)
sh "$tools/make-wine-prefix.sh"
/usr/bin/python3 "$source_dir/tests/e2e/test_launcher.py" -v "$@"
/usr/bin/python3 "$source_dir/tests/e2e/test_arm64_zip.py" -v
echo "ARM64 end-to-end tests took $(( $(date +%s) - start )) s"
