# The Debian game data packages the benchmarks run on (sourced, not run): each is unpacked
# once into a cache outside the source tree and reused by every later run.

bench_trees_cache=${QZ4_DEPS_CACHE:-$HOME/.cache/qz4launcher}/bench-trees

# bench_tree_package <package>: unpacks the package into $bench_trees_cache/<package> unless
# it is there already, and prints that directory. A half-unpacked tree never takes the
# final name, so an interrupted run starts over.
bench_tree_package() {
  local package=$1 root=$bench_trees_cache/$1
  if [[ ! -d $root ]]; then
    mkdir -p "$bench_trees_cache/download"
    (cd "$bench_trees_cache/download" && apt-get download -q "$package" >/dev/null)
    rm -rf "$root.partial"
    dpkg-deb -x "$bench_trees_cache/download/${package}"_*.deb "$root.partial"
    mv "$root.partial" "$root"
  fi
  echo "$root"
}
