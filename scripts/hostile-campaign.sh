#!/usr/bin/env bash
# The hostile-server campaign: the randomized mixes of HostileServer.* (three hosts, a fault
# per request) for many more mixes than the test command runs, on the dev build
# (AddressSanitizer and UndefinedBehaviorSanitizer).
#   scripts/hostile-campaign.sh [--mixes N] [--seed S]
# N defaults to 200, S to 1 (mix i uses seed S + i, so the first 12 are the test command's).
# Prints the mixes run, the failed mixes and the worst time of a run; the whole output is kept
# in build/dev/tests/hostile-campaign/log. A crash or a sanitizer report fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

mixes=200
seed=1
while (($#)); do
  case "$1" in
    --mixes) mixes=$2; shift ;;
    --seed) seed=$2; shift ;;
    *) echo "hostile-campaign.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

scripts/ensure-deps.sh linux >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev --target qz4_engine_tests -j 2 >/dev/null

state=build/dev/tests/hostile-campaign
mkdir -p "$state"
server=tests/support/http_test_server.py
trap 'python3 "$server" stop --state-dir "$state" >/dev/null' EXIT
python3 "$server" start --state-dir "$state" >/dev/null

status=0
QZ4_TEST_HTTP_SERVER_DIR=$state QZ4_HOSTILE_MIXES=$mixes QZ4_HOSTILE_SEED=$seed \
  build/dev/tests/update/engine/qz4_engine_tests --gtest_filter='HostileServer.*' >"$state/log" 2>&1 || status=$?

summary=$(grep '^hostile: mixes ' "$state/log" || true)
if [[ -z $summary ]]; then
  run=$(grep -c '^hostile: mix ' "$state/log" || true)
  echo "the test stopped after $run of $mixes mixes (exit $status); see $state/log"
  grep -m1 -A20 'ERROR: \(Address\|UndefinedBehavior\)Sanitizer\|runtime error' "$state/log" || tail -20 "$state/log"
  exit 1
fi
read -r _ _ run _ failures _ updated _ unchanged _ worst _ _ total _ <<<"$summary"
echo "mixes run: $run (updated $updated, unchanged $unchanged, the rest old and new file by file)"
echo "failed mixes: $failures"
echo "worst time of a run: $worst s (whole campaign $total s)"
echo "most bytes written beyond a cap: ${summary##*a cap }"
if ((status != 0)); then
  grep -B2 -A12 'Failure$' "$state/log" | head -60
  exit 1
fi
