#!/usr/bin/env bash
# The install benchmark on a real game tree: Debian's hedgewars-data (about 3,200 files,
# 160 MB), unpacked from its package into a cache outside the source tree, published by the
# patch maker, served by nginx on loopback and installed by the launcher.
#   scripts/bench-install.sh [--big | --https | --start] [package]
# --big adds a 1 GiB file for the memory figure; --https measures the install over https
# against the same over http instead; --start measures the up-to-date start against a C
# program stating every installed file, and the bytes a start fetches (also on
# wesnoth-1.16-data, about 16,000 files).
source "$(dirname "$0")/lib/usage.sh" "$@"
set -euo pipefail
cd "$(dirname "$0")/.."
mode=()
package=hedgewars-data
for arg in "$@"; do
  case "$arg" in
    --big | --https | --start) mode=("$arg") ;;
    *) package=$arg ;;
  esac
done
source scripts/lib/bench-trees.sh
scripts/ensure-deps.sh linux >/dev/null
root=$(bench_tree_package "$package")
tree=$(find "$root/usr/share" -mindepth 2 -maxdepth 3 -type d -name Data -print -quit)
[[ -n $tree ]] || tree=$root/usr/share
# The benchmarks bring their own test key; the product target needs none.
cmake --preset release -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target qz4_bench_install >/dev/null
build/release/bench/qz4_bench_install "$tree" "${mode[@]}"
