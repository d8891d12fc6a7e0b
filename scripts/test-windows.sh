#!/usr/bin/env bash
# The Windows leg of the test command: builds the Windows libraries and the LZMA SDK (cached
# outside the tree), cross-builds the presets win64 and win32, checks the i686 executable, and
# runs the win64 tests under wine64 inside Xvfb with a fresh Wine prefix.
#   scripts/test-windows.sh       (scripts/test.sh runs it after the Linux presets)
source "$(dirname "$0")/lib/usage.sh" "$@"
set -euo pipefail
script=$(readlink -f "$0")
cd "$(dirname "$script")/.."

jobs=$(nproc)
started=$SECONDS
step() { echo "=== [$((SECONDS - started)) s] $* ==="; }

# The manuals' pictures: the splash demo as a player sees it, taken from the X server with the
# pointer away from the close mark. Without metadata, an unchanged picture stays byte-identical.
#   splash_screenshot <picture> [<rate> <seconds left>]
splash_screenshot() {
  local picture=$1 figures=()
  (($# == 3)) && figures=("Downloading updates (33%)" "$2" "$3")
  xdotool mousemove 0 0
  "$wine" build/win64/tests/splash/qz4_splash_demo.exe "Downloading updates (33%)" 1 3 4000 "${figures[@]}" \
    </dev/null >/dev/null 2>&1 &
  local demo=$! window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name '^Tarnwood$' 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && break
    sleep 0.2
  done
  if [[ -z $window ]]; then
    echo "test-windows: no splash window to photograph" >&2
    kill "$demo" 2>/dev/null || true
    return 1
  fi
  sleep 1 # painted before it is shown; this is for the X server to catch up
  import -window "$window" -strip -define png:exclude-chunks=date,time "$picture"
  wait "$demo"
}

# Inside the X server. The wineserver is kept alive (-p) and warmed up with its stdio on
# /dev/null: the helper processes Wine starts with the first program inherit that program's
# output, and ctest would wait for them to close it. Killing the wineserver at the end lets
# xvfb-run return.
in_display() {
  local status=0
  "$wineserver" -p
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  # First in the bare prefix, which has neither Tahoma nor a generic sans-serif family: the
  # splash must still show its picture and bar.
  ctest --preset win64 -R '^SplashWindowWindows\.WithoutFonts' --no-tests=error || status=1
  # Debian's Wine does not find its own fonts; without them dialogs and GDI+ draw no text.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  ctest --preset win64 -j "$jobs" || status=1
  if ((status == 0)); then splash_screenshot docs/splash.png || status=1; fi
  # The same moment of a download running at 12.3 MiB/s with 1:23 left.
  if ((status == 0)); then splash_screenshot docs/splash-figures.png 12897484 83 || status=1; fi
  "$wineserver" -k
  return "$status"
}

# xvfb-run starts this script once more, inside the X server, with the prefix made below.
if [[ ${1:-} == --in-display ]]; then
  in_display
  exit
fi

step "Windows libraries"
scripts/ensure-deps.sh windows

for preset in win64 win32; do
  step "$preset build"
  # Test builds: no publisher key, so the launcher target is built without one, explicitly.
  cmake --preset "$preset" -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
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
# No window manager runs in Xvfb. Wine would turn the splash into a managed window the moment
# it is activated (pressed), unmapping and remapping it, which takes its focus and ends a drag.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wineserver" -w
# \\localhost\qz4 for the UNC path tests: Wine maps UNC shares through dosdevices/unc.
mkdir -p "$WINEPREFIX/dosdevices/unc/localhost"
ln -s "$unc_share" "$WINEPREFIX/dosdevices/unc/localhost/qz4"
export QZ4_TEST_UNC_SHARE='\\localhost\qz4'

step "win64 tests under wine64"
export wine wineserver jobs
xvfb-run -a -s '-screen 0 1024x768x24' "$script" --in-display

step "Windows leg passed"
