#!/usr/bin/env bash
# Time from a crash signal to the complete dump0.dmp, and the dump's size, for
#   1. the idle wizard (offscreen),
#   2. the small crash-test program,
#   3. the wizard during a conversion: under a virtual X server it is clicked through to the
#      conversion page of the volume of bench/convert.sh (2 GiB, 20,000 small files and 40 of
#      16 MiB, given as E by VELUNDRA_DRIVES), Convert is pressed, and the signal comes
#      CONVERT_DELAY seconds after the worker thread has appeared (each round checks that the
#      conversion has not finished and shows the process's thread count at the signal).
# The dump helper renames its file to dump0.dmp only once it is complete, so the file's
# appearance is the end of the dump.
#
# Usage: bench/crashdump.sh [BUILD-DIR] [ROUNDS]
# Environment: BENCH_CACHE (as bench/convert.sh; default BUILD-DIR/bench-cache),
#   CONVERT_DELAY (default 0.05: the engine is then writing the new volume), NO_CONVERSION=1
#   skips the third measure, BENCH_KEEP_DUMPS=DIR keeps every dump there (for lldb).
# Needs for the third: xvfb, xauth, xdotool (and what bench/convert.sh needs to build the
# volume when it is not in the cache).
set -eu
build=$(realpath "${1:-build}")
rounds=${2:-5}
here=$(realpath "$(dirname "${BASH_SOURCE[0]}")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ulimit -c 0
# One round's line: NAME PID; signals PID, waits for the dump, prints time and size.
signal_and_wait() {
  local name=$1 pid=$2 extra=${3:-}
  local t0=$(date +%s%N)
  kill -SEGV "$pid"
  while [ ! -e "$work/dump0.dmp" ]; do sleep 0.001; done
  local t1=$(date +%s%N)
  wait "$pid" 2>/dev/null || true
  echo "$name: signal to complete dump $(( (t1 - t0) / 1000000 )) ms, $(stat -c %s "$work/dump0.dmp") bytes$extra"
  if [ -n "${BENCH_KEEP_DUMPS:-}" ]; then
    mkdir -p "$BENCH_KEEP_DUMPS"
    cp "$work/dump0.dmp" "$BENCH_KEEP_DUMPS/${name// /-}-$(date +%s%N).dmp"
  fi
}
measure() {  # name program args...
  local name=$1; shift
  for i in $(seq "$rounds"); do
    rm -f "$work/dump0.dmp"
    QT_QPA_PLATFORM=offscreen "$@" >/dev/null 2>&1 &
    local pid=$!
    sleep 1.5
    signal_and_wait "$name" "$pid" ", $(ls /proc/$pid/task | wc -l) threads"
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
[ -x "$build/bin/velundra" ] && [ -z "${NO_CONVERSION:-}" ] || exit 0

# 3. During a conversion.
cache=${BENCH_CACHE:-$build/bench-cache}
image=$(ls -t "$cache"/convert-4096-*.img 2>/dev/null | head -1 || true)
if [ -z "$image" ]; then
  BENCH_VARIANTS=4096 BENCH_CACHE=$cache "$here/convert.sh" "$build" >&2
  image=$(ls -t "$cache"/convert-4096-*.img | head -1)
fi
cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
# Inside the virtual X server: WORK IMAGE ROUNDS DELAY WINDOW-SCRIPT FUNCTIONS
set -u
work=$1 image=$2 rounds=$3 delay=$4
. "$5"
. "$6"
export VELUNDRA_DRIVES="E=$work/e.img" VELUNDRA_DATA_DIR=$work/data
# Every message box is answered No without being shown, and written down.
export VELUNDRA_MESSAGE_LOG=$work/messages.txt VELUNDRA_MESSAGE_ANSWER=no
i=0 tries=0
while [ "$i" -lt "$rounds" ]; do
  rm -rf "$work/dump0.dmp" "$work/messages.txt" "$work/data"
  cp --sparse=always "$image" "$work/e.img"
  start_wizard "$work/velundra" "$work/wizard.out"
  sleep 1
  # The NTFS to FAT32 module, the first row of the list (E), Next, then Convert in its place.
  xdotool mousemove --window "$id" 189 256 click 1; sleep 1
  xdotool mousemove --window "$id" 60 125 click 1; sleep 0.3
  xdotool mousemove --window "$id" 534 429 click 1; sleep 1
  before=$(ls /proc/$pid/task | wc -l)
  t0=$(date +%s%N)
  xdotool mousemove --window "$id" 534 429 click 1
  # The worker thread has started, then the conversion runs a while.
  for _ in $(seq 500); do
    [ "$(ls /proc/$pid/task | wc -l)" -gt "$before" ] && break
    sleep 0.01
  done
  sleep "$delay"
  threads=$(ls /proc/$pid/task | wc -l)
  t1=$(date +%s%N)
  if [ -s "$work/messages.txt" ]; then
    # The conversion was quicker than the wait (the machine's load varies): once more.
    kill "$pid"; wait "$pid" 2>/dev/null
    tries=$((tries + 1))
    [ "$tries" -lt $((rounds * 3)) ] || { echo "the conversion always ended before the signal:" >&2; cat "$work/messages.txt" >&2; exit 1; }
    continue
  fi
  i=$((i + 1))
  signal_and_wait "wizard converting" "$pid" ", $threads threads, signal $(( (t1 - t0) / 1000000 )) ms after Convert"
done
[ "$tries" -eq 0 ] || echo "($tries rounds repeated: the conversion had ended before the signal)"
INSIDE
chmod +x "$work/inside.sh"
declare -f signal_and_wait >"$work/functions.sh"
echo "volume: $image"
work=$work xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$work" "$image" "$rounds" \
  "${CONVERT_DELAY:-0.05}" "$here/../scripts/wizard_window.sh" "$work/functions.sh"
