#!/usr/bin/env bash
# Starts the sandbox, points a private data folder of the program at it, runs the
# program, and stops the sandbox when the program ends. The user's own data folder and
# the shipped const.dat are not touched: the sandbox settings go into the setting.dat of
# a data folder kept under the build folder.
#   BUILD_DIR       build folder (default: build)
#   SANDBOX_PORT    port of the sandbox (default: a free one)
#   SANDBOX_HOME    where the sandbox run keeps its data (default: $BUILD_DIR/sandbox-run)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bin="$build/bin"
home=$(realpath -m "${SANDBOX_HOME:-$build/sandbox-run}")
mkdir -p "$home/service" "$home/data" "$home/config" "$home/cache"

# The program's data folder for this run: $XDG_DATA_HOME/<App.ConfigPath>.
word=$(sed -n 's/^App\.ConfigPath=//p' "$bin/const.dat" | tr -d '\r' | head -n1)
word=${word:-LumafinchForFacebook}
settings="$home/data/$word/setting.dat"
# Keep the run's settings in that private folder even where the machine-wide data
# folder is writeable (as for root): the user flag picks the per-user folder.
mkdir -p "$home/data/$word"
[ -f "$home/data/$word/UserFlag.ini" ] || printf '[Flag]\nAllUsers=0\n' >"$home/data/$word/UserFlag.ini"

out=$(mktemp)
"$bin/lumafinch-sandbox" --port "${SANDBOX_PORT:-0}" --data "$home/service" \
  --settings "$settings" >"$out" &
sandbox_pid=$!
trap 'kill "$sandbox_pid" 2>/dev/null || true; wait "$sandbox_pid" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 1 100); do
  [ -s "$out" ] && break
  kill -0 "$sandbox_pid" 2>/dev/null || { echo "the sandbox did not start" >&2; exit 1; }
  sleep 0.1
done
base=$(head -n1 "$out")
echo "sandbox: $base (index page of what it received; data in $home/service)" >&2

no_proxy="127.0.0.1,localhost,::1${no_proxy:+,$no_proxy}" \
  XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
  "$bin/lumafinch" "$@"
