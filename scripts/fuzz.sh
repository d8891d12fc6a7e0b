#!/usr/bin/env bash
# Builds the fuzz targets (preset 'fuzz') and runs them, at most --jobs at a time.
#   scripts/fuzz.sh [--time S] [--jobs N] [--merge] [target...]
#       Runs each target for S seconds (default 900) on a corpus that is kept between runs
#       (build/fuzz-corpus/<target>, started from the seeds in fuzz/corpus/<target>).
#       --merge then adds the kept inputs that reach new code to fuzz/corpus/<target>;
#       look at what it added before committing, the seeds must stay small.
#   scripts/fuzz.sh --check [target...]
#       The test command's short run: 30 seconds per target on a throwaway copy of the seeds.
# Without targets, all of them. Any finding (crash, broken check, leak, time-out, excess
# memory) fails the script; the input is kept in build/fuzz-findings/<target>/ and the log in
# build/fuzz-logs/<target>.log. Reproduce with: build/fuzz/fuzz/fuzz_<target> <input>
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(lzma2_unpack lzma2_round_trip version_json index_json publisher_config file_cache
             command_line path_patterns transfer_progress file_verification update_run)
seconds=900
jobs=2
check=0
merge=0
targets=()
while (($#)); do
  case "$1" in
    --time) seconds=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --check) check=1; seconds=30 ;;
    --merge) merge=1 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
((${#targets[@]})) || targets=("${all_targets[@]}")

scripts/ensure-deps.sh linux >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/qz4-fuzz.XXXXXX")
# The codec targets go through files (an unpacked file may reach some 100 MB): keep them in
# memory when the machine has a memory file system with room for them (a container's often
# has 64 MB).
scratch_root=$work
if [[ -d /dev/shm && -w /dev/shm ]] && (($(df --output=avail -B1M /dev/shm | tail -n 1) >= 1024)); then
  scratch_root=/dev/shm
fi
export QZ4_FUZZ_SCRATCH
QZ4_FUZZ_SCRATCH=$(mktemp -d "$scratch_root/qz4-fuzz-scratch.XXXXXX")
trap 'rm -rf "$work" "$QZ4_FUZZ_SCRATCH"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

mkdir -p build/fuzz-logs

# Per-target limits. The unpacker may take its 128 MiB dictionary and nothing near twice
# that; the packer's match finder needs about 190 MiB for its 16 MiB dictionary.
options_for() {
  case "$1" in
    lzma2_unpack) echo "-max_len=8192 -malloc_limit_mb=160 -rss_limit_mb=3072" ;;
    lzma2_round_trip) echo "-max_len=65536 -malloc_limit_mb=512 -rss_limit_mb=3072" ;;
    version_json) echo "-max_len=4096 -dict=fuzz/dict/json.dict" ;;
    index_json | publisher_config | file_cache | update_run) echo "-max_len=8192 -dict=fuzz/dict/json.dict" ;;
    command_line | path_patterns) echo "-max_len=4096 -dict=fuzz/dict/$1.dict" ;;
    *) echo "-max_len=4096" ;;
  esac
}

run_target() {
  local target=$1 corpus
  local program=build/fuzz/fuzz/fuzz_$target
  local findings=build/fuzz-findings/$target
  mkdir -p "$findings"
  if ((check)); then
    corpus=$work/corpus/$target
  else
    corpus=build/fuzz-corpus/$target
  fi
  mkdir -p "$corpus"
  # shellcheck disable=SC2046
  "$program" $(options_for "$target") -timeout=10 -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" \
    >"build/fuzz-logs/$target.log" 2>&1
}

summary() {
  local target=$1 status=$2 last
  last=$(grep -E '^#[0-9]+' "build/fuzz-logs/$target.log" | tail -n 1 || true)
  printf '%-18s %-8s %s\n' "$target" "$status" "$last"
}

failed=()
declare -A running=()
finish_one() {
  local pid status=0
  wait -n -p pid "${!running[@]}" || status=$?
  local target=${running[$pid]}
  unset "running[$pid]"
  if ((status == 0)); then
    summary "$target" passed
  else
    summary "$target" FAILED
    failed+=("$target")
    grep -E '^(==[0-9]+==ERROR|==FUZZ CHECK FAILED==|SUMMARY:|artifact_prefix|Test unit written)' \
      "build/fuzz-logs/$target.log" | head -n 8 || true
  fi
}

echo "=== fuzzing ${#targets[@]} targets, $seconds s each, $jobs at a time ==="
for target in "${targets[@]}"; do
  [[ -x build/fuzz/fuzz/fuzz_$target ]] || { echo "fuzz.sh: no target $target" >&2; exit 2; }
  while ((${#running[@]} >= jobs)); do finish_one; done
  run_target "$target" &
  running[$!]=$target
done
while ((${#running[@]})); do finish_one; done

if ((merge && !check)); then
  for target in "${targets[@]}"; do
    build/fuzz/fuzz/fuzz_"$target" $(options_for "$target") -merge=1 "fuzz/corpus/$target" \
      "build/fuzz-corpus/$target" >>"build/fuzz-logs/$target.log" 2>&1
  done
  echo "merged new inputs into fuzz/corpus/ (see git status)"
fi

if ((${#failed[@]})); then
  echo "=== findings in: ${failed[*]} (inputs in build/fuzz-findings/) ===" >&2
  exit 1
fi
echo "=== no findings ==="
