#!/usr/bin/env bash
# Builds the part of the LZMA SDK that the packed file format needs (the LZMA2 encoder and
# decoder, the match finders with the two-thread one, the thread, allocator and processor
# helpers) from Debian's 7zip source package into one static library per target.
#
#   scripts/build-lzma-sdk.sh [linux] [x86_64] [i686]     (default: all three)
#
# linux is the host compiler; x86_64 and i686 the MinGW-w64 cross compilers. The result lives
# outside the source tree, in
#   ${QZ4_DEPS_CACHE:-$HOME/.cache/qz4launcher}/lzma-sdk/<target>/<key>/{include/lzma-sdk,lib}
# where <key> covers the source package version, the compiler and this script, and
# lzma-sdk/<target>/current points at the most recently used complete one (cmake/lzma_sdk.cmake
# looks there). A complete build is never redone; a failed one leaves nothing behind.
source "$(dirname "$0")/lib/usage.sh" "$@"
set -euo pipefail

script=$(readlink -f "$0")
cache=${QZ4_DEPS_CACHE:-$HOME/.cache/qz4launcher}
root=$cache/lzma-sdk
sources=$cache/sources
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

say() { echo "build-lzma-sdk: $*"; }
die() { echo "build-lzma-sdk: $*" >&2; exit 1; }
# shellcheck source=scripts/lib/source-packages.sh
source "$(dirname "$script")/lib/source-packages.sh"

targets=("$@")
((${#targets[@]})) || targets=(linux x86_64 i686)
compiler_for() {
  case "$1" in
    linux) echo gcc ;;
    x86_64 | i686) echo "$1-w64-mingw32-gcc-posix" ;;
    *) die "unknown target $1 (linux, x86_64 or i686)" ;;
  esac
}
archiver_for() {
  case "$1" in
    linux) echo ar ;;
    *) echo "$1-w64-mingw32-ar" ;;
  esac
}
for target in "${targets[@]}"; do
  for tool in "$(compiler_for "$target")" "$(archiver_for "$target")"; do
    command -v "$tool" >/dev/null || die "$tool is missing (run scripts/install-deps.sh as root)"
  done
done
command -v apt-get >/dev/null || die "apt-get is missing"

mkdir -p "$root" "$sources"
# Other work trees on this machine share the cache: one builder at a time.
exec 9>"$root/.lock"
flock 9

# Only what LZMA2 coding reaches. The LZMA2 encoder refers to the block coder (MtCoder.c, and
# through it MtDec.c and 7zStream.c) even when it codes one solid block, as we have it do.
c_files=(7zStream.c Alloc.c CpuArch.c LzFind.c LzFindMt.c LzFindOpt.c Lzma2Dec.c Lzma2Enc.c LzmaDec.c
         LzmaEnc.c MtCoder.c MtDec.c Threads.c)
headers=(7zTypes.h 7zWindows.h Alloc.h Compiler.h CpuArch.h LzFind.h LzFindMt.h LzHash.h Lzma2Dec.h
         Lzma2Enc.h LzmaDec.h LzmaEnc.h MtCoder.h MtDec.h Precomp.h Threads.h)

version=$(source_versions 7zip)
script_sum=$(sha256sum <"$script" | cut -d' ' -f1)
compiler_version() { "$(compiler_for "$1")" --version | head -1; }

work=$(mktemp -d "$root/build.XXXXXX")
trap 'remove_deb_src_lists; rm -rf "$work"' EXIT

tree=""
build_target() {
  local target=$1 key_text key result cc out
  cc=$(compiler_for "$target")
  key_text="7zip=$version
compiler=$(compiler_version "$target")
script=$script_sum"
  key=$(sha256sum <<<"$key_text" | cut -c1-16)
  result=$root/$target/$key
  if [[ ! -f $result/.complete ]]; then
    if [[ -z $tree ]]; then
      fetch_sources "7zip=$version"
      tree=$work/src
      unpack_source 7zip "$version" "$tree"
    fi
    say "building the LZMA SDK of 7zip $version for $target"
    out=$work/$target
    mkdir -p "$out/obj" "$out/lib" "$out/include/lzma-sdk"
    local file
    # -O2 as 7-Zip itself is built; position-independent for the host's PIE executables.
    local flags=(-O2 -g0 -std=gnu99 -Wall -D_REENTRANT -D_FILE_OFFSET_BITS=64 -D_LARGEFILE_SOURCE)
    [[ $target == linux ]] && flags+=(-fPIC -pthread)
    for file in "${c_files[@]}"; do
      "$cc" "${flags[@]}" -c "$tree/C/$file" -o "$out/obj/${file%.c}.o" ||
        die "compiling $file for $target failed"
    done
    "$(archiver_for "$target")" rcs "$out/lib/liblzmasdk.a" "$out"/obj/*.o
    for file in "${headers[@]}"; do cp "$tree/C/$file" "$out/include/lzma-sdk/"; done
    # The SDK is public domain; its notice travels with the headers all the same.
    cp "$tree/DOC/lzma.txt" "$out/include/lzma-sdk/" 2>/dev/null || true
    rm -rf "$out/obj"
    printf '%s\n' "$key_text" >"$out/key.txt"
    touch "$out/.complete"
    mkdir -p "$root/$target"
    rm -rf "$result"
    mv "$out" "$result"
  fi
  ln -sfn "$key" "$root/$target/.current.new"
  mv -Tf "$root/$target/.current.new" "$root/$target/current"
  say "up to date: $result"
}
for target in "${targets[@]}"; do build_target "$target"; done
