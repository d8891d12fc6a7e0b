#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Idempotent: packages already present are left alone. Usage: scripts/install-deps.sh [--no-windows]
source "$(dirname "$0")/lib/usage.sh" "$@"
set -euo pipefail

linux_packages=(
  build-essential cmake ninja-build pkg-config git patch
  clang clang-format libclang-rt-dev libclang-rt-14-dev llvm
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libsodium-dev
  xz-utils 7zip zstd zsync curl python3 tmux nginx-light openssl
)
windows_packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 fonts-wine xvfb xauth make file dpkg-dev imagemagick xdotool autoconf automake libtool
  libgnutls30
)

want=("${linux_packages[@]}")
if [[ "${1:-}" != "--no-windows" ]]; then
  want+=("${windows_packages[@]}")
fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root, or: sudo apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Installing nginx starts the system's nginx service where init scripts may run; the project
# only ever runs nginx of its own (tests/e2e/nginx_fixture.py), so no service is started.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq
# Without recommends: wine64 recommends the 32-bit wine loader, which breaks the 64-bit test runs.
# Wine's Schannel (https in the Windows tests) needs libgnutls30, only a recommendation of
# libwine: it is listed above.
apt-get install -y -qq --no-install-recommends "${missing[@]}"
