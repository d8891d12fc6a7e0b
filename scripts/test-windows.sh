#!/usr/bin/env bash
# The Windows leg of the test command: builds the Windows libraries (cached outside the tree),
# cross-builds the presets win64 and win32, checks the i686 executable, and runs the win64
# tests under wine64 inside Xvfb with a fresh Wine prefix.
#   scripts/test-windows.sh       (scripts/test.sh runs it after the Linux presets)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$SECONDS
step() { echo "=== [$((SECONDS - started)) s] $* ==="; }

step "Windows libraries"
scripts/build-windows-deps.sh

for preset in win64 win32; do
  step "$preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
# Nothing here runs 32-bit Windows code; the i686 program is checked from the outside.
python3 resources/check_executable.py i686-w64-mingw32- build/win32/app/qz4launcher.exe

step "Wine prefix"
wine=/usr/lib/wine/wine64 # /usr/bin/wine picks the 32-bit loader when wine32 is installed
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/qz4-wine.XXXXXX")
unc_share=$(mktemp -d "${TMPDIR:-/tmp}/qz4-unc.XXXXXX")
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$unc_share"
}
trap cleanup EXIT
export WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: their install prompts would wait forever in Xvfb.
export WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1
"$wineserver" -w
# Debian's Wine does not find its own fonts; without them dialogs and GDI+ draw no text.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# \\localhost\qz4 for the UNC path tests: Wine maps UNC shares through dosdevices/unc.
mkdir -p "$WINEPREFIX/dosdevices/unc/localhost"
ln -s "$unc_share" "$WINEPREFIX/dosdevices/unc/localhost/qz4"
export QZ4_TEST_UNC_SHARE='\\localhost\qz4'

step "win64 tests under wine64"
# One X server for the whole run. The wineserver is kept alive (-p) and warmed up with its
# stdio on /dev/null: the helper processes Wine starts with the first program inherit that
# program's output, and ctest would wait for them to close it. Killing the wineserver at the
# end lets xvfb-run return.
xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
  "$1" -p
  "$2" cmd /c exit </dev/null >/dev/null 2>&1
  ctest --preset win64 -j "$3"; status=$?
  "$1" -k
  exit $status' bash "$wineserver" "$wine" "$jobs"

step "Windows leg passed"
