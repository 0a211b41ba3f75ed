#!/usr/bin/env bash
# Builds Pellion.dll and the Windows tests with mingw-w64 and runs them under Wine, then the
# end-to-end run from the Linux sender into the Windows host. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
PELLION_WIN_SYSROOT="$(bash scripts/win-deps.sh)"
export PELLION_WIN_SYSROOT
# A tree configured against another sysroot keeps its cached finds: configure it afresh.
fresh=()
if [ -f build-win/CMakeCache.txt ] &&
  ! grep -qxF "PELLION_WIN_SYSROOT:PATH=$PELLION_WIN_SYSROOT" build-win/CMakeCache.txt; then
  fresh=(--fresh)
fi
cmake --preset win "${fresh[@]}" >/dev/null
cmake --build --preset win
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=wineserver
stop() {
  # The test run's Wine server goes with it, and so does our X server.
  WINEPREFIX="$PWD/build-win/wine-prefix" "$server" -k 2>/dev/null || true
  [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -f "${TMPDIR:-/tmp}/pellion-xvfb.$$"
}
trap stop EXIT
# Wine draws real windows (the mirroring tests) on an X server: our own, unless one is given.
if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"${TMPDIR:-/tmp}/pellion-xvfb.$$" &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "${TMPDIR:-/tmp}/pellion-xvfb.$$" ] && break; sleep 0.1; done
  DISPLAY=":$(cat "${TMPDIR:-/tmp}/pellion-xvfb.$$")"
  export DISPLAY
fi
ctest --preset win "$@"
if [ $# -eq 0 ]; then
  # The sender is a Linux tool.
  bash scripts/deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target pellion-send
  bash scripts/win-e2e.sh build-win build
fi
