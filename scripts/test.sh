#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: without arguments the Linux suite and
# then the Windows one under Wine. Argument: one preset (default, asan, tsan or win); extra
# arguments go to ctest (e.g. -R Worker).
set -euo pipefail
cd "$(dirname "$0")/.."
all=0
[ $# -eq 0 ] && all=1
preset="${1:-default}"
shift || true
if [ "$preset" = win ]; then
  exec bash scripts/test-win.sh "$@"
fi

if [ "$preset" = tsan ]; then
  export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$PWD/tests/tsan.supp"
fi

bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
if [ $all -eq 1 ]; then
  bash scripts/test-win.sh
fi
