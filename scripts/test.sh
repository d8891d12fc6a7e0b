#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and tests every
# configuration (sanitizers, optimised, ThreadSanitizer), runs every fuzz target for 30
# seconds (scripts/fuzz.sh --check, two at a time), then the Windows leg: the x86_64 and
# i686 cross builds, with the x86_64 tests run under Wine (scripts/test-windows.sh).
#   scripts/test.sh                 everything, as CI runs it
#   scripts/test.sh --no-windows    skip the Windows cross builds (quick local run)
set -euo pipefail
cd "$(dirname "$0")/.."

windows=1
for arg in "$@"; do
  case "$arg" in
    --no-windows) windows=0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

if ((windows)); then scripts/ensure-deps.sh windows; else scripts/ensure-deps.sh linux; fi

jobs=$(nproc)
for preset in dev release tsan; do
  echo "=== $preset ==="
  # The test builds have no publisher key; the release preset asks for one (or for this).
  cmake --preset "$preset" -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done

echo "=== fuzz ==="
scripts/fuzz.sh --check

if ((windows)); then scripts/test-windows.sh; fi

echo "=== all tests passed ==="
