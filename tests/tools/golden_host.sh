#!/bin/sh
# Compares the help and the usage and start-up errors of pellion-host, pellion-view and
# pellion-logcat with the golden files. The program's path is written as its bare name.
# golden_host.sh <bin dir> <golden dir>; GOLDEN_UPDATE=1 rewrites the files.
set -u
bin=$1 golden=$2
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
status=0

# check <tool> <name> <stream: out|err> <exit code> <args...>; the other stream must stay empty.
check() {
  tool=$1 name=$2 stream=$3 want=$4
  shift 4
  "$bin/$tool" "$@" >"$out/out" 2>"$out/err"
  code=$?
  if [ "$code" != "$want" ]; then
    echo "$tool $*: exit $code, not $want"
    status=1
  fi
  other=err
  [ "$stream" = err ] && other=out
  if [ -s "$out/$other" ]; then
    echo "$tool $*: unexpected std$other:"
    cat "$out/$other"
    status=1
  fi
  sed -e "s|$bin/$tool|$tool|g" "$out/$stream" >"$out/$tool.$name"
  if [ "${GOLDEN_UPDATE:-0}" = 1 ]; then
    cp "$out/$tool.$name" "$golden/$tool.$name"
  elif ! diff -u "$golden/$tool.$name" "$out/$tool.$name"; then
    status=1
  fi
}

none=/pellion-golden-none
check pellion-host help out 0 --help
check pellion-host bad-option err 109 --bogus
check pellion-host bad-number err 104 --frames x
check pellion-host no-module err 1 --module $none/Pellion.so
check pellion-view help out 0 --help
check pellion-view bad-format err 105 --format rgb
check pellion-view no-section err 1 --section $none --event $none --timeout 0
check pellion-logcat help out 0 --help
exit $status
