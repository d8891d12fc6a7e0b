#!/usr/bin/env bash
# Builds the optimised program and runs it with the given arguments, for example
#   scripts/run.sh -noupdate
# The program looks for client/Client.exe beside itself, so it runs from build/release/app.
# Without a publisher key it is built to take unsigned updates, for trying things out (never
# give such a launcher to players); a key given to build/release before still holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh linux >/dev/null
cmake --preset release -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
cmake --build --preset release --target qz4launcher >/dev/null
exec build/release/app/qz4launcher "$@"
