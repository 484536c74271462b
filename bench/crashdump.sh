#!/usr/bin/env bash
# Time from a crash signal to the complete dump0.dmp, and the dump's size, for the idle wizard
# (offscreen) and the small crash-test program. Usage: bench/crashdump.sh [BUILD-DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ulimit -c 0
measure() {  # name program args...
  local name=$1; shift
  for i in $(seq "$rounds"); do
    rm -f "$work/dump0.dmp"
    QT_QPA_PLATFORM=offscreen "$@" >/dev/null 2>&1 &
    local pid=$!
    sleep 1.5
    local t0=$(date +%s%N)
    kill -SEGV "$pid"
    while [ ! -e "$work/dump0.dmp" ]; do sleep 0.001; done
    local t1=$(date +%s%N)
    wait "$pid" 2>/dev/null || true
    echo "$name: signal to complete dump $(( (t1 - t0) / 1000000 )) ms, $(stat -c %s "$work/dump0.dmp") bytes"
  done
}
cp "$build/bin/velundra-crashdump" "$work/"
if [ -x "$build/bin/velundra" ]; then
  cp "$build/bin/velundra" "$work/"
  measure "idle wizard" "$work/velundra" -run
fi
if [ -x "$build/bin/velundra-crashme" ]; then
  cp "$build/bin/velundra-crashme" "$work/"
  measure "crash-test program" "$work/velundra-crashme" wait bench-crash-event
fi
