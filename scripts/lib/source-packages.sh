# Helpers for the scripts that build libraries from Debian's source packages (sourced, not run).
# The caller sets `sources` (where the source packages are kept), `sudo_cmd` (an array, empty
# as root) and `work` (a scratch directory it removes), and defines `die`.

# The source package version behind the candidate binary package, from the package lists
# alone (no network), so that an unchanged cache is recognised in well under a second.
source_version() {
  local binary=$1 fields version source_field
  fields=$(apt-cache show --no-all-versions "$binary" 2>/dev/null) || return 1
  version=$(sed -n 's/^Version: //p' <<<"$fields" | head -1)
  source_field=$(sed -n 's/^Source: //p' <<<"$fields" | head -1)
  # "Source: name (version)" appears when a binary rebuild changed the binary's version.
  if [[ $source_field =~ \((.*)\) ]]; then version=${BASH_REMATCH[1]}; fi
  [[ -n $version ]] || return 1
  echo "$version"
}

# source_versions <binary>...: prints one source version per binary, updating the package
# lists once when they know none of them (a fresh machine).
source_versions() {
  local binary versions=()
  for binary in "$@"; do
    if ! versions+=("$(source_version "$binary")"); then
      echo "package lists are empty; updating them" >&2
      "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
      versions=()
      for binary in "$@"; do
        versions+=("$(source_version "$binary")") || die "apt knows no $binary package"
      done
      break
    fi
  done
  printf '%s\n' "${versions[@]}"
}

_deb_src_list=/etc/apt/sources.list.d/qz4-source-packages.sources
remove_deb_src_lists() {
  local list
  for list in "$_deb_src_list" "${_deb_src_list%.sources}.list"; do
    if [[ -e $list ]]; then "${sudo_cmd[@]}" rm -f "$list"; fi
  done
}

# fetch_sources <package>=<version>...: puts each source package (.dsc, upstream tarball,
# Debian tarball) into $sources unless it is there already. The deb-src twin of every enabled
# deb entry exists only while downloading.
fetch_sources() {
  local wanted missing=()
  for wanted in "$@"; do
    local package=${wanted%%=*} version=${wanted#*=}
    ls "$sources/${package}_${version#*:}.dsc" >/dev/null 2>&1 || missing+=("$wanted")
  done
  ((${#missing[@]})) || return 0
  {
    for list in /etc/apt/sources.list.d/*.sources; do
      [[ -f $list && $list != "$_deb_src_list" ]] && sed -e 's/^Types:.*$/Types: deb-src/' "$list" && echo
    done
  } | "${sudo_cmd[@]}" tee "$_deb_src_list" >/dev/null
  if [[ -f /etc/apt/sources.list ]]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list |
      "${sudo_cmd[@]}" tee "${_deb_src_list%.sources}.list" >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
  local download=$work/download
  mkdir -p "$download"
  # As root apt warns that its sandbox user cannot write here; the download works anyway.
  (cd "$download" && apt-get source --download-only -qq "${missing[@]}" 2>&1 | grep -v "sandbox" || true)
  remove_deb_src_lists
  chmod a+r "$download"/* 2>/dev/null || true
  mkdir -p "$sources"
  mv -f "$download"/* "$sources"/
  for wanted in "${missing[@]}"; do
    local package=${wanted%%=*} version=${wanted#*=}
    ls "$sources/${package}_${version#*:}.dsc" >/dev/null 2>&1 || die "apt-get source did not deliver $wanted"
  done
}

# unpack_source <package> <version> <tree> [<patch name that stops the series>]
# The upstream tarball plus Debian's patch series (its security fixes).
unpack_source() {
  local package=$1 version=${2#*:} tree=$3 stop=${4:-} upstream orig debian patch_name
  upstream=${version%-*}
  orig=$(ls "$sources/${package}_${upstream}".orig.tar.* | grep -v '\.asc$' | head -1)
  debian=$(ls "$sources/${package}_${version}".debian.tar.* | head -1)
  mkdir -p "$tree"
  tar -xf "$orig" -C "$tree" --strip-components=1
  tar -xf "$debian" -C "$tree"
  [[ -f $tree/debian/patches/series ]] || return 0
  while read -r patch_name; do
    case "$patch_name" in '' | '#'*) continue ;; esac
    if [[ -n $stop && $patch_name == "$stop"* ]]; then break; fi
    patch -d "$tree" -p1 -s -N --no-backup-if-mismatch <"$tree/debian/patches/$patch_name"
  done <"$tree/debian/patches/series"
}
