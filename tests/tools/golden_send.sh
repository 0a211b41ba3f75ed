#!/bin/sh
# Compares pellion-send's help, usage errors and run summaries with the golden files, after
# taking out what depends on the machine: the clip directory and the run's duration.
# golden_send.sh <pellion-send> <clips dir> <golden dir>; GOLDEN_UPDATE=1 rewrites the files.
set -u
bin=$1 clips=$2 golden=$3
# Run by name, as installed, so the usage line does not show the build directory.
PATH=$(dirname "$bin"):$PATH
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
status=0

# check <name> <stream: out|err> <exit code> <args...>
check() {
  name=$1 stream=$2 want=$3
  shift 3
  if [ "$stream" = out ]; then
    pellion-send "$@" >"$out/raw" 2>/dev/null
  else
    pellion-send "$@" 2>"$out/raw" >/dev/null
  fi
  code=$?
  if [ "$code" != "$want" ]; then
    echo "pellion-send $*: exit $code, not $want"
    status=1
  fi
  sed -e "s|$clips/||g" -e 's/ in [0-9.]* s/ in T s/' "$out/raw" >"$out/$name"
  if [ "${GOLDEN_UPDATE:-0}" = 1 ]; then
    cp "$out/$name" "$golden/pellion-send.$name"
  elif ! diff -u "$golden/pellion-send.$name" "$out/$name"; then
    status=1
  fi
}

# Nothing reaches the network: every datagram is lost, and port 9 is discard anyway.
quiet="--port 9 --request-port 0 --fast --loss 1"
check help out 0 --help
check no-source err 2
check bad-loss err 2 --loss 3 x.h264
check excludes err 2 "$clips/h264_640x360.h264" --encode
# shellcheck disable=SC2086
check run-file err 0 "$clips/h264_640x360.h264" $quiet --parameter-sets separate --drop 3 \
  --frames 10
# shellcheck disable=SC2086
check run-encode err 0 --encode --size 64x64 --frames 5 $quiet
exit $status
