#!/usr/bin/env bash
# The chunk size benchmark: which average size the content-defined chunker should cut large
# archives with. Debian's wesnoth-1.16-data (about 16,000 files, 220 MB) is stored into one
# uncompressed tar, old.tar (members sorted by path, fixed times, owners and modes); new.tar
# is the same tar with 1 % of its members, one in every hundred along the archive, replaced by
# a file of the same extension from hedgewars-data that the old archive does not hold (the
# one closest in size, each used once), so an update changes real files of the same kind by
# whole. Those files alone, packed one by one, are the floor. Then
# build/release/bench/qz4_bench_chunks prints, for averages of 256 KiB to 4 MiB, the chunks a
# launcher holding old.tar fetches, against the floor and zstd's pairwise patch. Last, zsync
# (fixed blocks, fetched raw by http ranges) brings new.tar from nginx on loopback starting from
# old.tar; nginx's log gives the bytes it sent, headers included.
#   scripts/bench-chunks.sh [--no-patch]
# --no-patch leaves out zstd's pairwise patch (-19 with a 2 GiB window: minutes, and memory).
source "$(dirname "$0")/lib/usage.sh" "$@"
set -euo pipefail
cd "$(dirname "$0")/.."
options=()
for arg in "$@"; do
  case "$arg" in
    --no-patch) options=(--no-patch) ;;
    *) echo "unknown option: $arg (see --help)" >&2 && exit 2 ;;
  esac
done
source scripts/lib/bench-trees.sh
scripts/ensure-deps.sh linux >/dev/null
game=$(bench_tree_package wesnoth-1.16-data)/usr/share/games/wesnoth
donor=$(bench_tree_package hedgewars-data)/usr/share
work=$bench_trees_cache/chunk-archives
rm -rf "$work"
mkdir -p "$work"
python3 - "$game" "$donor" "$work" <<'PY'
import hashlib, os, shutil, sys, tarfile

game, donor, work = sys.argv[1:4]

def regular_files(root):
    found = []
    for directory, subdirectories, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append(os.path.relpath(path, root))
    return sorted(found)

def digest(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).digest()

def extension(path):
    return os.path.splitext(path)[1].lower()

members = regular_files(game)
held = {digest(os.path.join(game, m)) for m in members}
donors = {}
for relative in regular_files(donor):
    path = os.path.join(donor, relative)
    if digest(path) not in held:
        donors.setdefault(extension(relative), []).append((os.path.getsize(path), relative))

# One member in every hundred, from the middle of each run of a hundred; where hedgewars has
# no file of its extension left, the next member in the run that it has one for.
replaced = {}
for start in range(0, len(members) - 99, 100):
    for member in members[start + 50:start + 100] + members[start:start + 50]:
        candidates = donors.get(extension(member))
        if candidates:
            size = os.path.getsize(os.path.join(game, member))
            best = min(candidates, key=lambda c: (abs(c[0] - size), c[1]))
            candidates.remove(best)
            replaced[member] = os.path.join(donor, best[1])
            break

def store(name, source_of):
    with tarfile.open(os.path.join(work, name), 'w', format=tarfile.GNU_FORMAT) as tar:
        for member in members:
            source = source_of(member)
            info = tarfile.TarInfo(member)
            info.size = os.path.getsize(source)
            info.mtime = 1700000000
            info.mode = 0o644
            info.uname = info.gname = 'root'
            with open(source, 'rb') as f:
                tar.addfile(info, f)

store('old.tar', lambda m: os.path.join(game, m))
store('new.tar', lambda m: replaced.get(m, os.path.join(game, m)))
for member, source in replaced.items():
    target = os.path.join(work, 'floor', member)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)
print(f'{len(members)} members, {len(replaced)} replaced '
      f'({sum(os.path.getsize(s) for s in replaced.values())} bytes of new content)')
PY
# The benchmarks bring their own test key; the product target needs none.
cmake --preset release -DQZ4_ALLOW_UNSIGNED_UPDATES=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target qz4_bench_chunks >/dev/null
build/release/bench/qz4_bench_chunks "$work/old.tar" "$work/new.tar" "$work/floor" "${options[@]}"

# zsync's own reference, from a real server: the bytes nginx sent for new.tar's control file
# and for the ranges of new.tar, and whether zsync rebuilt it exactly.
state=$work/zsync-server
client=$work/zsync-client
port=$(python3 -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
python3 tests/e2e/nginx_fixture.py start --state-dir "$state" --port "$port" --watch-pid $$ >/dev/null
trap 'python3 tests/e2e/nginx_fixture.py stop --state-dir "$state" >/dev/null' EXIT
ln "$work/new.tar" "$state/www/new.tar"
(cd "$state/www" && zsyncmake -u new.tar -o new.tar.zsync new.tar)
mkdir -p "$client"
(cd "$client" && zsync -q -i "$work/old.tar" -o new.tar "http://127.0.0.1:$port/new.tar.zsync")
cmp -s "$client/new.tar" "$work/new.tar" || { echo "zsync did not rebuild new.tar" >&2 && exit 1; }
blocksize=$(head -c 4096 "$state/www/new.tar.zsync" | grep -a '^Blocksize:' | tr -dc 0-9)
awk -v control="$(stat -c %s "$state/www/new.tar.zsync")" -v blocksize="$blocksize" '
  $7 == "/new.tar.zsync" { meta += $NF }
  $7 == "/new.tar" { ranges += $NF; requests++ }
  END { printf "\nzsync, blocks of %d bytes: control file %.2f MiB (sent %.2f MiB), ranges of new.tar %.2f MiB in %d requests, %.2f MiB in all\n",
               blocksize, control / 1048576, meta / 1048576, ranges / 1048576, requests, (meta + ranges) / 1048576 }' "$state/access.log"
rm -rf "$client"
