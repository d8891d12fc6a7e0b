#!/usr/bin/env bash
# Builds the optimised program and runs it with the given arguments, for example
#   scripts/run.sh -noupdate
# The program looks for client/Client.exe beside itself, so it runs from build/release/app.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh linux >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target qz4launcher >/dev/null
exec build/release/app/qz4launcher "$@"
