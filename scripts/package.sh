#!/usr/bin/env bash
# Builds the packages and checks that they are complete.
#   package.sh       the Release build (warnings as errors, no tests), the .deb from it, and
#                    the consumer check against the .deb unpacked into build-release/stage/
#   package.sh win   the Windows zip from the win preset's tree (build-win/packages/)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = win ]; then
  PELLION_WIN_SYSROOT="$(bash scripts/win-deps.sh)"
  export PELLION_WIN_SYSROOT
  cmake --preset win >/dev/null
  cmake --build --preset win
  (cd build-win && cpack -G ZIP)
  ls -l build-win/packages/*.zip
  exit 0
fi

bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
rm -f build-release/packages/*.deb
(cd build-release && cpack -G DEB)
deb="$(ls build-release/packages/pellion_*_amd64.deb)"
ls -l "$deb"
dpkg-deb -f "$deb" Package Version Depends
# Never installed system-wide: unpacked into a staging root.
rm -rf build-release/stage build-release/consumer
dpkg-deb -x "$deb" build-release/stage
bash tests/consumer/run.sh build-release/stage/usr build-release/consumer
