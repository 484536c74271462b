# Sourced by the screenshot scripts inside xvfb-run. start_wizard PROGRAM LOG starts the
# wizard ("-run", output into LOG) and waits for its window; it sets `id` (the window) and
# `pid`. A virtual X server now and then refuses a connection (any X client's, not only ours):
# a wizard that ends before its window appears is started again, twice at most. Exits 1 with
# the wizard's output when no window appears.
start_wizard() {
    local program=$1 log=$2 attempt
    id=
    for attempt in 1 2 3; do
        "$program" -run >"$log" 2>&1 &
        pid=$!
        for _ in $(seq 100); do
            id=$(xdotool search --onlyvisible --name '^Velundra ' 2>/dev/null | head -1) && [ -n "$id" ] && break
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        [ -n "$id" ] && break
        kill $pid 2>/dev/null
    done
    [ -n "$id" ] || { echo "the wizard's window did not appear" >&2; cat "$log" >&2; exit 1; }
}
