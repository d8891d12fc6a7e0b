#!/usr/bin/env bash
# The one step every script that builds goes through first, so that none depends on another
# having run: the Debian packages, the LZMA SDK for each target, and for Windows targets the
# cross-built libraries. Each part is cached (outside the tree, in QZ4_DEPS_CACHE or
# ~/.cache/qz4launcher) and costs about a second when nothing is missing.
#   scripts/ensure-deps.sh linux       the packages and the SDK for native builds
#   scripts/ensure-deps.sh windows     the same, and the cross compilers, Wine, the SDK and the
#                                      libraries for x86_64 and i686
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  linux)
    scripts/install-deps.sh --no-windows
    scripts/build-lzma-sdk.sh linux
    ;;
  windows)
    scripts/install-deps.sh
    scripts/build-lzma-sdk.sh linux x86_64 i686
    scripts/build-windows-deps.sh
    ;;
  *)
    echo "usage: scripts/ensure-deps.sh linux|windows" >&2
    exit 2
    ;;
esac
