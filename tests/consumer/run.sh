#!/usr/bin/env bash
# The consumer check: builds a host with find_package(Pellion) and a renderer with
# pkg-config pellion against a staged install, then streams a test pattern through them with
# the staged pellion-send and checks that pictures arrived.
# Usage: run.sh PREFIX [WORKDIR]   (PREFIX: the staged prefix, e.g. stage/usr)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="$(cd "$1" && pwd)"
work="${2:-$(mktemp -d)}"
mkdir -p "$work"
seconds="${CONSUMER_SECONDS:-6}"

cmake -S "$here" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  >"$work/host-configure.log"
grep 'Pellion' "$work/host-configure.log"
cmake --build "$work/host" >/dev/null

export PKG_CONFIG_PATH="$prefix/share/pkgconfig"
echo "pkg-config pellion: $(pkg-config --modversion pellion)," \
  "pluginpath $(pkg-config --variable=pluginpath pellion)"
# shellcheck disable=SC2046
c++ -std=c++17 -O2 $(pkg-config --cflags pellion) "$here/renderer.cc" -o "$work/renderer"

export NORV_PROGRAMDATA="$work/programdata"
mkdir -p "$NORV_PROGRAMDATA"
# The plug-in's log lines go to the host's standard error: kept in a file, shown on failure.
"$work/host/consumer_host" "$seconds" 2>"$work/host.log" &
host=$!
"$work/renderer" 30 $((seconds + 10)) &
renderer=$!
sender=
trap 'kill $host $renderer $sender 2>/dev/null || true' EXIT
"$prefix/bin/pellion-send" --encode --size 640x360 --seconds $((seconds + 2)) 2>/dev/null &
sender=$!
status=0
wait $renderer || status=1
wait $host || status=1
kill $sender 2>/dev/null || true
wait $sender 2>/dev/null || true
trap - EXIT
if [ $status -ne 0 ]; then
  tail -n 30 "$work/host.log"
  echo "consumer check: FAILED"
else
  echo "consumer check: passed"
fi
exit $status
