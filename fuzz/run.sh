#!/usr/bin/env bash
# Builds the fuzz targets (clang-16) and runs each for SECONDS (default 30), one after another,
# from its seed corpus and dictionary. The growing corpora stay in build-fuzz/corpus; a finding
# is written to build-fuzz/findings/<target>/ and fails the script.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(fuzz_transport_datagram fuzz_receiver fuzz_decoder fuzz_ini fuzz_command_line)

EXTRA_PACKAGES="clang-16 libclang-rt-16-dev" bash scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build-fuzz
status=0
for t in "${targets[@]}"; do
  corpus="$out/corpus/$t"
  findings="$out/findings/$t"
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "== $t for ${seconds} s"
  # Leak checks stay on; -rss_limit_mb bounds what any one input may make us hold.
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    "$out/bin/$t" "$corpus" "$out/fuzz/seeds/$t" "${dict[@]}" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    >"$out/$t.log" 2>&1; then
    echo "!! $t found a fault; its input is in $findings:" >&2
    tail -40 "$out/$t.log" >&2
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ *DONE" "$out/$t.log" || true
done
exit $status
