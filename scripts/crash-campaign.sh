#!/usr/bin/env bash
# The long crash campaign: the crash test of the test suite on a larger update (300 files of
# mixed sizes, packed and copied, the launcher's self-update included), killed at 200
# random operations, each followed by a rerun that must repair the game.
#   scripts/crash-campaign.sh [--files N] [--points N] [--seed N] [--preset P]
# Prints the kill points tried and survived and the time taken; fails when any was not
# survived.
set -euo pipefail
cd "$(dirname "$0")/.."
files=300 points=200 seed=13 preset=release
while [[ $# -gt 0 ]]; do
  case "$1" in
    --files) files=$2; shift 2 ;;
    --points) points=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
build=build/$preset
scripts/ensure-deps.sh linux >/dev/null
cmake --preset "$preset" -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null # a test build: no publisher key
cmake --build --preset "$preset" -j 2 --target qz4_crash_tests >/dev/null
port=$(sed -n 's/^QZ4_E2E_PORT:INTERNAL=//p' "$build/CMakeCache.txt")
state=$PWD/$build/tests/e2e/nginx
python3 tests/e2e/nginx_fixture.py start --state-dir "$state" --port "$port" >/dev/null
trap 'python3 tests/e2e/nginx_fixture.py stop --state-dir "$state" >/dev/null' EXIT
QZ4_CRASH_FILES=$files QZ4_CRASH_POINTS=$points QZ4_CRASH_SEED=$seed \
  "$build/tests/crash/qz4_crash_tests" --gtest_filter='CrashConsistency.*' 2>&1 |
  grep -a -E '^\[crash\]|killed after|^\[ +(OK|FAILED) +\]'
