#!/usr/bin/env bash
# Photographs the crash report under a virtual X server: the report window ("-report") with a
# sample log and dump beside a copy of the program, then its contents window showing the log
# as text and the dump as a hex dump. Checks the report window's white band and the contents
# window's white header line at their places. Writes docs/crash-report.png and
# docs/report-contents.png.
#
# Usage: scripts/screenshot_report.sh [PROGRAM]   (default: build/bin/velundra)
# Needs xvfb, xauth, xdotool, imagemagick and python3-pil (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/bin/velundra}")
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
docs=$(realpath docs)
work=$(mktemp -d)
if [ -n "${VELUNDRA_KEEP_TEMP:-}" ]; then echo "pictures in $work"; else trap 'rm -rf "$work"' EXIT; fi

# The report offers the files beside the executable: a copy of the program with a log and a
# dump beside it.
mkdir "$work/bin"
cp "$program" "$work/bin/velundra"
printf 'Volume E: NTFS, 512 MiB, cluster 4096.\r\nConverting NTFS to FAT32...\r\nFile records read: 1042.\r\n' >"$work/bin/log.log"
/usr/bin/python3 -c '
import random, sys
r = random.Random(7)
sys.stdout.buffer.write(b"MDMP\x93\xa7\x00\x00" + bytes(r.randrange(256) for _ in range(3000)))' >"$work/bin/dump0.dmp"

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
set -u
work=$1
cd "$work"
find_window() {
    local name=$1 found=
    for _ in $(seq 100); do
        found=$(xdotool search --onlyvisible --name "$name" 2>/dev/null | head -1) && [ -n "$found" ] && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    echo "$found"
}
# A virtual X server now and then refuses a connection: a report that ends before its window
# appears is started again, twice at most.
for attempt in 1 2 3; do
    "$work/bin/velundra" -report >"$work/report.out" 2>&1 &
    pid=$!
    id=$(find_window '^Velundra$')
    [ -n "$id" ] && break
    kill $pid 2>/dev/null
done
[ -n "$id" ] || { echo "the report window did not appear" >&2; cat "$work/report.out" >&2; exit 1; }
sleep 0.5
xdotool windowfocus --sync "$id" 2>/dev/null
xdotool type "It crashed while I was converting E:."
sleep 0.3
import -window "$id" "$work/report.png"
# The link is next in the keyboard order after the description box.
xdotool key Tab space
contents=$(find_window '^Error Report Contents$')
[ -n "$contents" ] || { echo "the contents window did not appear" >&2; exit 1; }
sleep 0.5
xdotool windowfocus --sync "$contents" 2>/dev/null
# The list has the focus: the second row (the dump), activated.
xdotool key Down Down Return
sleep 0.5
import -window "$contents" "$work/contents.png"
kill $pid
wait $pid 2>/dev/null
exit 0
INSIDE
chmod +x "$work/inside.sh"
xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$work"

PYTHONPATH=scripts /usr/bin/python3 - "$work/report.png" "$work/contents.png" <<'CHECK'
from pixelcheck import expect, finish, pictures

report, contents = pictures()
expect(report, "white band", 4, 4, (255, 255, 255))
expect(report, "white band", report.width - 4, 4, (255, 255, 255))
expect(contents, "header line", 4, 4, (255, 255, 255))
finish()
CHECK
cp "$work/report.png" "$docs/crash-report.png"
cp "$work/contents.png" "$docs/report-contents.png"
echo "pictures: $docs/crash-report.png $docs/report-contents.png"
