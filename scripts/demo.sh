#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: pellion-send encodes a test pattern and
# streams it over UDP to port 9111, the plug-in (loaded by pellion-host) decodes it into the
# shared section, and pellion-host shows the pictures in a window (or counts them without a
# display). Key-frame requests go back to pellion-send over TCP port 9112.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

seconds="${DEMO_SECONDS:-5}"
mode=(--headless)
if [ -n "${DISPLAY:-}" ] && [ "${CI:-}" != "true" ]; then mode=(); fi
# Logs of the demo stay in the build tree.
export NORV_PROGRAMDATA="${NORV_PROGRAMDATA:-$PWD/build/demo-programdata}"
mkdir -p "$NORV_PROGRAMDATA"

build/bin/pellion-host "${mode[@]}" --seconds "$seconds" &
host=$!
trap 'kill $host 2>/dev/null || true' EXIT
build/bin/pellion-send --encode --size 1280x720 --seconds "$((seconds + 5))" 2>/dev/null &
sender=$!
wait $host
status=$?
kill $sender 2>/dev/null || true
wait $sender 2>/dev/null || true
trap - EXIT
exit $status
