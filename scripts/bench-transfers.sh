#!/usr/bin/env bash
# The transfer benchmarks: the download stage with 1, 4 and 8 transfers at once on 2,000
# small files behind 30 ms of latency (the test server's delay route, and nginx behind a
# delaying proxy), one large file from nginx against curl, and a file cut at 90 % resumed.
#   scripts/bench-transfers.sh [--files N | --tree DIR] [--big-mib M] [--resume-mib M] [--only 1|2|3|4]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh linux >/dev/null
# The benchmarks bring their own test key; the product target needs none.
cmake --preset release -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target qz4_bench_transfers >/dev/null
build/release/bench/qz4_bench_transfers "$@"
