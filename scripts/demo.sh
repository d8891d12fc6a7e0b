#!/usr/bin/env bash
# The whole product in two minutes, as a publisher sets it up: a first build serves as the
# patch maker, whose first run writes config.json and the signing key and prints the key;
# the launcher is built with that key. The patch maker publishes a small game, signed, nginx
# serves it on loopback, the launcher installs it into an empty game directory and starts the
# client; then one file changes, is published again, and the launcher fetches only that file.
#   scripts/demo.sh            everything is left in build/demo (QZ4_DEMO_DIR to choose)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=${QZ4_DEMO_DIR:-$root/build/demo}
fixture=$root/tests/e2e/nginx_fixture.py
guid=7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97

say() { echo "demo: $*"; }

say "installing what is missing (nginx-light and the LZMA SDK among it)"
scripts/ensure-deps.sh linux >/dev/null

rm -rf "$demo/publisher" "$demo/game" "$demo/nginx" "$demo"/fetched-*.txt
mkdir -p "$demo/publisher/input" "$demo/game"
stop_nginx() { python3 "$fixture" stop --state-dir "$demo/nginx" >/dev/null 2>&1 || true; }
trap stop_nginx EXIT
trap 'stop_nginx; exit 130' INT TERM

port=$(python3 -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
base="http://127.0.0.1:$port/qz4/"
launcher=$demo/build/app/qz4launcher
build_program() { # the build options that differ between the two builds
  cmake -S . -B "$demo/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ4_BUILD_TESTS=OFF \
    -DQZ4_UPDATE_URL_PRIMARY="$base" -DQZ4_UPDATE_URL_FALLBACK="$base" "$@" >/dev/null
  cmake --build "$demo/build" -j "$(nproc)" --target qz4launcher >/dev/null
}
say "building the program without a key, to serve as the patch maker only (never for players)"
build_program -DQZ4_ALLOW_UNSIGNED_UPDATES=ON -DQZ4_UPDATE_PUBLIC_KEY=

say "making a sample game of a few hundred files in $demo/publisher/input"
input=$demo/publisher/input
mkdir -p "$input/client/data/levels" "$input/client/data/music" "$input/client/Zubehör" "$input/config"
cat >"$input/client/Client.exe" <<'CLIENT'
#!/bin/sh
echo "    Client.exe started in $(pwd) with arguments: $* (QZ4LAUNCHER=$QZ4LAUNCHER)"
CLIENT
for i in $(seq 1 250); do seq "$i" 3 $((i * 900)) >"$input/client/data/levels/level$i.txt"; done
for i in $(seq 1 40); do head -c $((20000 + i * 500)) /dev/urandom | gzip -1 >"$input/client/data/music/track$i.ogg"; done
echo "a name with a space" >"$input/client/data/read me.txt"
echo "a name with non-ASCII letters" >"$input/client/Zubehör/Übersicht.txt"
printf 'volume=3\nlanguage=en\n' >"$input/config/settings.cfg"
files=$(find "$input" -type f | wc -l)

say "the patch maker's first run writes config.json and the signing key"
cp "$launcher" "$demo/publisher/"
(cd "$demo/publisher" && ./qz4launcher -patchmaker >"$demo/publisher/console.txt") || true
sed 's/^/    /' "$demo/publisher/console.txt"
key=$(sed -n 's/^Build the launcher with -DQZ4_UPDATE_PUBLIC_KEY=//p' "$demo/publisher/console.txt")
[[ -n $key ]] || { echo "demo: the patch maker printed no key" >&2; exit 1; }

say "building the launcher with the publisher's key $key, whose update host is $base"
build_program -DQZ4_ALLOW_UNSIGNED_UPDATES=OFF -DQZ4_UPDATE_PUBLIC_KEY="$key"
cp "$launcher" "$demo/publisher/" # the same program publishes from now on

say "publishing $files files with the patch maker"
python3 - "$demo/publisher/config.json" "$guid" "$base" <<'EDIT'
import json, sys
path, guid, base = sys.argv[1:]
config = json.load(open(path))
config["client"]["guid"] = guid
config["client"]["hosts"] = [base]
json.dump(config, open(path, "w"), indent=4)
EDIT
publish() {
  # The patch maker's exit code is 1 when its run went through, 0 when it stopped.
  local status=0
  (cd "$demo/publisher" && ./qz4launcher -patchmaker >"$demo/publisher/console.txt") || status=$?
  sed -n -e 's/^Current game update version/    published update/p' -e 's/^version.json /    version.json /p' \
    "$demo/publisher/console.txt"
  if ((status != 1)); then
    cat "$demo/publisher/console.txt" >&2
    return 1
  fi
  rm -rf "$demo/nginx/www/qz4"
  cp -r "$demo/publisher/output" "$demo/nginx/www/qz4"
}
python3 "$fixture" start --state-dir "$demo/nginx" --port "$port" --watch-pid $$ | sed 's/^/    /'
publish

fetched() { # the client files nginx sent since line $1 of its access log
  tail -n +"$(($1 + 1))" "$demo/nginx/access.log" | sed -n 's#.*"GET /qz4/\([0-9]*/[^ ]*\) HTTP.*#\1#p' |
    grep -v '/index\.json' || true
}
run_launcher() {
  local before
  before=$(wc -l <"$demo/nginx/access.log")
  (cd "$demo/game" && ./qz4launcher -windowed </dev/null 2>&1 | sed 's/^/    /')
  fetched "$before" >"$demo/fetched-$((${#downloaded[@]} + 1)).txt"
  downloaded+=("$(wc -l <"$demo/fetched-$((${#downloaded[@]} + 1)).txt")")
}
downloaded=()

say "installing the launcher into the empty game directory $demo/game and starting it"
cp "$launcher" "$demo/game/"
run_launcher
diff -r "$input" "$demo/game" -x qz4launcher -x .temp >/dev/null && say "the game directory now holds the published client, byte for byte"

say "changing config/settings.cfg and publishing again"
printf 'volume=7\nlanguage=en\n' >"$input/config/settings.cfg"
publish
say "starting the launcher again"
run_launcher

say "client files downloaded (from nginx's access log): ${downloaded[0]} in the first run, ${downloaded[1]} in the second: $(tr '\n' ' ' <"$demo/fetched-2.txt")"
say "everything is in $demo; nginx is stopped"
