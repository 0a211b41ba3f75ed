#!/usr/bin/env bash
# Installs what is missing, builds and runs every test. Argument: the preset (default, asan or
# tsan); extra arguments go to ctest (e.g. -R Worker).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true

bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
