#!/usr/bin/env bash
# End to end across the two builds: the Windows host (pellion-winhost with Pellion.dll, under
# Wine) receives a clip that the Linux pellion-send sends to 127.0.0.1:9111, and every picture
# it read from the Windows section must equal, byte for byte, the ffmpeg command's decode of
# that access unit, as the Linux build's pictures do.
#   scripts/win-e2e.sh WIN_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
win="$(cd "$1" && pwd)"
linux="$(cd "$2" && pwd)"
clip="$win/clips/h264_640x360.h264"
ref="$clip.nv12"
frames=60
frame_bytes=$((640 * 360 * 3 / 2))
out="$(mktemp -d)"
host_pid=
# Only the host, if it still runs: `kill` of an empty or 0 pid would signal the whole group.
trap '[ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true; rm -rf "$out"' EXIT

run="$(dirname "$0")/wine-run.sh"
"$run" --prefix "$win/wine-prefix" "$win/bin/pellion-winhost.exe" --dump "$out/dump" \
  --frames "$frames" --seconds 30 >"$out/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 600); do
  grep -q "channel started" "$out/host.log" && break
  kill -0 "$host_pid" 2>/dev/null || { cat "$out/host.log"; exit 1; }
  sleep 0.1
done
grep -q "channel started" "$out/host.log" || { echo "win-e2e: the host never started"; exit 1; }
"$linux/bin/pellion-send" "$clip" --host 127.0.0.1 --port 9111 >"$out/send.log" 2>&1
wait "$host_pid" || { cat "$out/host.log"; echo "win-e2e: the host failed"; exit 1; }
host_pid=
cat "$out/host.log"

# Each dump record: index u32, width u16, height u16, byte count u32, then the picture.
size=$(stat -c %s "$out/dump")
pos=0 n=0
while [ $pos -lt "$size" ]; do
  read -r index count < <(od -An -tu4 -j $pos -N12 "$out/dump" | awk '{print $1, $3}')
  [ "$count" -eq $frame_bytes ] || { echo "win-e2e: picture $index has $count bytes"; exit 1; }
  [ "$index" -ge 1 ] && [ "$index" -le $frames ] || { echo "win-e2e: index $index"; exit 1; }
  if ! cmp -s <(tail -c +$((pos + 13)) "$out/dump" | head -c $frame_bytes) \
    <(tail -c +$(((index - 1) * frame_bytes + 1)) "$ref" | head -c $frame_bytes); then
    echo "win-e2e: picture $index differs from the reference"
    exit 1
  fi
  pos=$((pos + 12 + count))
  n=$((n + 1))
done
# Loopback loses nothing as a rule; a lost datagram costs its frame and the rest of its group.
[ $n -ge $((frames * 9 / 10)) ] || { echo "win-e2e: only $n of $frames pictures"; exit 1; }
echo "win-e2e: $n pictures from the Windows section, every one bit-identical to the reference"
