#!/usr/bin/env bash
# Builds the libraries the Windows builds link statically: libcurl (HTTP and HTTPS, the TLS
# of Windows itself through Schannel, certificates checked against the system's store) and
# libsodium (the update signatures), for x86_64 and i686, from Debian's source packages with
# the MinGW-w64 compilers. nlohmann/json (header only) is taken from the installed
# nlohmann-json3-dev package. The LZMA SDK has a
# script of its own (scripts/build-lzma-sdk.sh), since the Linux builds need it too.
#
#   scripts/build-windows-deps.sh            build what is missing, print the prefixes
#
# The result lives outside the source tree, in
#   ${QZ4_DEPS_CACHE:-$HOME/.cache/qz4launcher}/windows-deps/<key>/{x86_64,i686}
# where <key> covers the source package versions, the compilers and this script, and
# windows-deps/current points at the most recently used complete one (the CMake toolchain
# files look there). A complete build is never redone; a failed one leaves nothing behind.
set -euo pipefail

script=$(readlink -f "$0")
cache=${QZ4_DEPS_CACHE:-$HOME/.cache/qz4launcher}
deps=$cache/windows-deps
sources=$cache/sources
arches=(x86_64 i686)
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

say() { echo "build-windows-deps: $*"; }
die() { echo "build-windows-deps: $*" >&2; exit 1; }

for tool in x86_64-w64-mingw32-gcc-posix i686-w64-mingw32-gcc-posix make patch apt-get autoreconf libtoolize; do
  command -v "$tool" >/dev/null || die "$tool is missing (run scripts/install-deps.sh as root)"
done
[[ -f /usr/include/nlohmann/json.hpp ]] || die "nlohmann-json3-dev is missing (run scripts/install-deps.sh)"

mkdir -p "$deps" "$sources"
# Other work trees on this machine share the cache: one builder at a time.
exec 9>"$deps/.lock"
flock 9

# shellcheck source=scripts/lib/source-packages.sh
source "$(dirname "$script")/lib/source-packages.sh"

{ read -r curl_version; read -r sodium_version; } < <(source_versions curl libsodium-dev)
installed_version() { dpkg-query -W -f='${Version}' "$1"; }
key_text="curl=$curl_version
sodium=$sodium_version
nlohmann=$(installed_version nlohmann-json3-dev)
x86_64=$(installed_version g++-mingw-w64-x86-64-posix) i686=$(installed_version g++-mingw-w64-i686-posix)
script=$(sha256sum <"$script" | cut -d' ' -f1)"
key=$(sha256sum <<<"$key_text" | cut -c1-16)
result=$deps/$key

point_current_at_result() {
  ln -sfn "$key" "$deps/.current.new"
  mv -Tf "$deps/.current.new" "$deps/current"
}

if [[ -f $result/.complete ]]; then
  point_current_at_result
  say "up to date: $result (curl $curl_version, libsodium $sodium_version)"
  exit 0
fi
say "building curl $curl_version and libsodium $sodium_version into $result"

work=$(mktemp -d "$deps/build.XXXXXX")
trap 'remove_deb_src_lists; rm -rf "$work"' EXIT

# The upstream tarball plus Debian's patch series (its security fixes). curl's series ends
# with patches that only rename the library for Debian's TLS variants; they are left out.
fetch_sources "curl=$curl_version" "libsodium=$sodium_version"
unpack_source curl "$curl_version" "$work/src/curl" 90_gnutls
unpack_source libsodium "$sodium_version" "$work/src/libsodium"
# libsodium's tarball is its git tree: the configure script is made here, as Debian's build does.
(cd "$work/src/libsodium" && autoreconf -fi >"$work/sodium-autoreconf.log" 2>&1) ||
  { tail -n 20 "$work/sodium-autoreconf.log" >&2; die "autoreconf failed for libsodium"; }

# --- One architecture -----------------------------------------------------------------------
build_arch() {
  local arch=$1 host=$1-w64-mingw32 prefix=$work/out/$1 logs=$work/logs/$1
  mkdir -p "$prefix" "$logs"
  export CC=$host-gcc-posix AR=$host-ar RANLIB=$host-ranlib CFLAGS="-O2 -g0"
  # Only this prefix is visible to pkg-config: no host library may leak into the build.
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
  # config.guess misreads the build system when CC names a cross compiler.
  local build=x86_64-linux-gnu

  mkdir -p "$work/build/$arch/curl" && cd "$work/build/$arch/curl"
  # --without-zlib: Debian's MinGW zlib would otherwise be found and linked in.
  # --disable-pthreads: the resolver thread uses Win32 threads, no winpthread needed.
  # --with-schannel: Windows' own TLS and certificate store, so no OpenSSL and no CA bundle
  # to ship and keep current; every protocol but HTTP(S) stays out.
  "$work/src/curl/configure" --build=$build --host="$host" --prefix="$prefix" \
    --disable-shared --enable-static --disable-dependency-tracking \
    --enable-http --disable-ftp --disable-file --disable-ldap --disable-ldaps \
    --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
    --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
    --disable-mqtt --disable-smb --disable-manual --disable-pthreads \
    --with-schannel --without-zlib --without-brotli --without-zstd \
    --without-libidn2 --without-libpsl --without-libssh2 --without-libssh \
    --without-nghttp2 --without-ngtcp2 --without-nghttp3 --without-librtmp \
    --without-ca-bundle --without-ca-path >"$logs/curl-configure.log" 2>&1
  # A libcurl without its TLS would fetch nothing from an https:// host, and would still link.
  grep -q '^#define USE_SCHANNEL 1' lib/curl_config.h || die "curl was configured without Schannel"
  make -C lib >"$logs/curl-make.log" 2>&1
  make -C lib install >>"$logs/curl-make.log" 2>&1
  make -C include install >>"$logs/curl-make.log" 2>&1
  make install-pkgconfigDATA >>"$logs/curl-make.log" 2>&1

  # CMake's FindCURL takes a CURL package configuration first: this one carries what a
  # static libcurl needs on Windows (its system libraries and CURL_STATICLIB).
  mkdir -p "$prefix/lib/cmake/CURL"
  cat >"$prefix/lib/cmake/CURL/CURLConfig.cmake" <<'EOF'
# Static libcurl (HTTP and HTTPS through Schannel) for MinGW-w64, made by scripts/build-windows-deps.sh.
get_filename_component(_qz4_curl_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET CURL::libcurl)
  add_library(CURL::libcurl STATIC IMPORTED)
  set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "${_qz4_curl_prefix}/lib/libcurl.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_qz4_curl_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS "CURL_STATICLIB"
    INTERFACE_LINK_LIBRARIES "@CURL_SYSTEM_LIBRARIES@")
endif()
set(CURL_INCLUDE_DIRS "${_qz4_curl_prefix}/include")
set(CURL_LIBRARIES CURL::libcurl)
unset(_qz4_curl_prefix)
EOF
  # The system libraries as curl's own build lists them for static users (sockets, the
  # certificate store, random numbers; Schannel itself is loaded at run time).
  local curl_system_libraries
  read -r -a curl_system_libraries < <(sed -n 's/^Libs.private: *//p' "$prefix/lib/pkgconfig/libcurl.pc")
  curl_system_libraries=("${curl_system_libraries[@]#-l}")
  ((${#curl_system_libraries[@]})) || die "libcurl.pc names no system libraries"
  sed -i "s/@CURL_SYSTEM_LIBRARIES@/$(IFS=';'; echo "${curl_system_libraries[*]}")/" \
    "$prefix/lib/cmake/CURL/CURLConfig.cmake"
  local curl_upstream=${curl_version#*:}
  curl_upstream=${curl_upstream%-*}
  cat >"$prefix/lib/cmake/CURL/CURLConfigVersion.cmake" <<EOF
set(PACKAGE_VERSION "$curl_upstream")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
EOF

  # libsodium, the library alone (no tests). --disable-ssp: MinGW's stack protector needs
  # libssp, which a -static link would have to find.
  mkdir -p "$work/build/$arch/libsodium" && cd "$work/build/$arch/libsodium"
  "$work/src/libsodium/configure" --build=$build --host="$host" --prefix="$prefix" \
    --disable-shared --enable-static --disable-dependency-tracking --disable-ssp \
    >"$logs/sodium-configure.log" 2>&1
  make -C src/libsodium >"$logs/sodium-make.log" 2>&1
  make -C src/libsodium install >>"$logs/sodium-make.log" 2>&1

  # Static linking needs SODIUM_STATIC (no dllimport) and the system's random source.
  mkdir -p "$prefix/lib/cmake/sodium"
  cat >"$prefix/lib/cmake/sodium/sodiumConfig.cmake" <<'EOF'
# Static libsodium for MinGW-w64, made by scripts/build-windows-deps.sh.
get_filename_component(_qz4_sodium_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET sodium::sodium)
  add_library(sodium::sodium STATIC IMPORTED)
  set_target_properties(sodium::sodium PROPERTIES
    IMPORTED_LOCATION "${_qz4_sodium_prefix}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_qz4_sodium_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS "SODIUM_STATIC"
    INTERFACE_LINK_LIBRARIES "advapi32")
endif()
unset(_qz4_sodium_prefix)
EOF

  # nlohmann/json: the Debian headers and package configuration, placed where the cross
  # build looks (the host's /usr/include must never be on a cross compiler's path).
  mkdir -p "$prefix/include" "$prefix/share/cmake"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

  # A program that uses the library must link, or the prefix is not worth keeping; a transfer
  # pulls in the TLS code and every system library it needs.
  cat >"$work/build/$arch/check.c" <<'EOF'
#define CURL_STATICLIB
#include <curl/curl.h>
int main(void) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, "https://localhost/");
    curl_easy_setopt(easy, CURLOPT_CAINFO, "ca.pem");
    CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    return result == CURLE_OK;
}
EOF
  "$CC" -static -I"$prefix/include" "$work/build/$arch/check.c" -o "$work/build/$arch/check.exe" \
    -L"$prefix/lib" -lcurl "${curl_system_libraries[@]/#/-l}" >"$logs/check.log" 2>&1
  cat >"$work/build/$arch/check_sodium.c" <<'EOF'
#define SODIUM_STATIC
#include <sodium.h>
int main(void) {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    return sodium_init() < 0 || crypto_sign_keypair(pk, sk) != 0;
}
EOF
  "$CC" -static -I"$prefix/include" "$work/build/$arch/check_sodium.c" \
    -o "$work/build/$arch/check_sodium.exe" -L"$prefix/lib" -lsodium -ladvapi32 >>"$logs/check.log" 2>&1
  rm -rf "$prefix/share/doc" "$prefix/share/man" "$prefix/lib"/*.la
}

# Both architectures at once: most of the time goes into configure scripts, which use one
# core each, so the two builds share the machine's two cores well.
declare -A pids
for arch in "${arches[@]}"; do
  (build_arch "$arch") &
  pids[$arch]=$!
done
failed=0
for arch in "${arches[@]}"; do
  if ! wait "${pids[$arch]}"; then
    failed=1
    echo "build-windows-deps: the $arch build failed; the end of its newest log:" >&2
    newest=$(ls -t "$work/logs/$arch"/*.log 2>/dev/null | head -1)
    [[ -n $newest ]] && tail -n 30 "$newest" >&2
  fi
done
((failed == 0)) || exit 1

# Publish in one rename, so a reader never sees a half-built prefix.
printf '%s\n' "$key_text" >"$work/out/key.txt"
touch "$work/out/.complete"
rm -rf "$result"
mv "$work/out" "$result"
point_current_at_result
# Builds under other keys stay (a few megabytes each): work trees with another version of
# this script keep theirs instead of rebuilding in turn.
say "done: $result"
