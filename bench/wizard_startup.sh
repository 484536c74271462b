#!/usr/bin/env bash
# Wizard start-up benchmark: the time from starting the program to the first painted start
# page, and the wizard's resident memory once it sits idle on that page.
#
# Usage: bench/wizard_startup.sh [BUILD_DIR]     (default: build; needs BUILD_DIR/bin/velundra)
#
# Environment:
#   BENCH_RUNS   how many starts to time (default 10)
#   BENCH_IDLE   seconds the wizard sits on its start page before its memory is read (default 3)
#
# Everything runs inside one virtual X server (xvfb-run), started before the first timing so
# that its own start-up is not counted. Each run:
#   1. note the clock and start the launcher (no argument), the way the menu entry does; when
#      not root the launcher would refuse, so the wizard ("-run") is started directly instead;
#   2. the start page writes the clock of its first paint into the file named by
#      VELUNDRA_FIRST_PAINT_FILE; the difference is the start-up time;
#   3. after BENCH_IDLE seconds read VmRSS of the wizard process from /proc;
#   4. end the wizard (SIGTERM), and with it the launcher.
# Prints each run, then the median, minimum and maximum of both figures.
set -euo pipefail

BUILD_DIR=$(realpath "${1:-build}")
program=$BUILD_DIR/bin/velundra
[[ -x $program ]] || { echo "no $program; build it first" >&2; exit 1; }
runs=${BENCH_RUNS:-10}
idle=${BENCH_IDLE:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
set -u
program=$1 runs=$2 idle=$3 work=$4
if [[ $(id -u) == 0 ]]; then mode=launcher; else mode=wizard; fi
# One start: prints "<mode> <ms to first paint> <idle VmRSS KiB>", or fails when no first
# paint came within 5 s.
start_once() {
    local stamp=$work/paint.$1 start painted top wizard rss
    rm -f "$stamp"
    start=$(date +%s%N)
    if [[ $mode == launcher ]]; then
        VELUNDRA_FIRST_PAINT_FILE=$stamp "$program" >>"$work/program.out" 2>&1 &
    else
        VELUNDRA_FIRST_PAINT_FILE=$stamp "$program" -run >>"$work/program.out" 2>&1 &
    fi
    top=$!
    for _ in $(seq 1000); do [[ -s $stamp ]] && break; sleep 0.005; done
    if [[ ! -s $stamp ]]; then
        kill "$top" 2>/dev/null
        wait "$top" 2>/dev/null
        return 1
    fi
    painted=$(cat "$stamp")
    wizard=$top
    if [[ $mode == launcher ]]; then wizard=$(pgrep -P "$top" -x velundra | head -1); fi
    sleep "$idle"
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$wizard/status")
    echo "$mode $(( (painted - start) / 1000000 )) $rss"
    kill -TERM "$wizard"
    wait "$top" 2>/dev/null || true
}
# A virtual X server now and then refuses a connection (every X client sees it, not only
# ours); such a start is retried and counted apart, never timed.
for run in $(seq "$runs"); do
    for attempt in 1 2 3; do
        start_once "$run.$attempt" && break
        echo "run $run: no first paint (attempt $attempt): $(grep -m1 -i 'connect' "$work/program.out")" >&2
        [[ $attempt == 3 ]] && { cat "$work/program.out" >&2; exit 1; }
    done
done
INSIDE
chmod +x "$work/inside.sh"
xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$program" "$runs" "$idle" "$work" >"$work/runs.txt"

awk '{ printf "run %d (%s): first paint after %d ms, idle VmRSS %d KiB\n", NR, $1, $2, $3 }' "$work/runs.txt"
summary() {  # column name unit
    sort -n -k"$1" "$work/runs.txt" | awk -v c="$1" -v name="$2" -v unit="$3" '
        { v[NR] = $c } END {
            m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "%s: median %g %s (min %g, max %g, %d runs)\n", name, m, unit, v[1], v[NR], NR }'
}
summary 2 "start to first painted start page" ms
summary 3 "wizard's idle resident memory (VmRSS)" KiB
