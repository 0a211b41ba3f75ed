#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's own prefix (made on first use),
# quietly. CMake's emulator for the Windows build: scripts/wine-run.sh PROGRAM ARGS...
# PELLION_WINEPREFIX names the prefix (the Windows build tree sets it).
set -euo pipefail
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
# Debian keeps the server beside wine64, off PATH without the recommended packages.
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
if [ "${1:-}" = --prefix ]; then
  export WINEPREFIX="$2"
  shift 2
fi
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.pellion-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.pellion-ready" ]; then
    echo "wine-run: making the prefix $WINEPREFIX" >&2
    if ! "$wine" wineboot -i >"$WINEPREFIX.boot.log" 2>&1; then
      echo "wine-run: wineboot failed, see $WINEPREFIX.boot.log" >&2
      exit 1
    fi
    "$server" -w </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.pellion-ready"
  fi
  exec 9>&-
fi
exec "$wine" "$@"
