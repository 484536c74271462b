#!/usr/bin/env bash
# Photographs the road of one conversion under a virtual X server: the volume list of the
# NTFS to FAT32 module with the demo's sample volume listed as E (VELUNDRA_DRIVES), and the
# conversion page after it finished. Checks the colours at their places (page background
# RGB(231,235,239), the innermost line of the frame around the list and the details box
# RGB(165,172,181)), that the conversion reported success, and that fsck.fat -n finds the
# converted sample clean. Writes docs/volume-list.png and docs/conversion-finished.png.
#
# Usage: scripts/screenshot_wizard.sh [PROGRAM]   (default: build/bin/velundra)
# Needs xvfb, xauth, xdotool, imagemagick, python3-pil, xz and dosfstools.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/bin/velundra}")
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
docs=$(realpath docs)
work=$(mktemp -d)
if [ -n "${VELUNDRA_KEEP_TEMP:-}" ]; then echo "pictures in $work"; else trap 'rm -rf "$work"' EXIT; fi
xz -dc tests/fixtures/sample-ntfs.img.xz >"$work/e.img"

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
set -u
program=$1 work=$2
cd "$work"
# Every message box is answered No (the success question: open nothing) without being shown,
# and written to messages.txt.
export VELUNDRA_DRIVES="E=$work/e.img" VELUNDRA_MESSAGE_LOG=$work/messages.txt VELUNDRA_MESSAGE_ANSWER=no
export VELUNDRA_DATA_DIR=$work/data
. "$3"
start_wizard "$program" "$work/wizard.out"
sleep 1
# The NTFS to FAT32 module, then the first row of the list (the list's top at y = 100).
xdotool mousemove --window "$id" 189 256 click 1
sleep 1
xdotool mousemove --window "$id" 60 125 click 1
sleep 0.3
xdotool mousemove --window "$id" 300 440
sleep 0.3
import -window "$id" "$work/list.png"
# Next (602 - 105 + 37, 453 - 36 + 12), then Convert at the same place.
xdotool mousemove --window "$id" 534 429 click 1
sleep 1
xdotool mousemove --window "$id" 534 429 click 1
for _ in $(seq 100); do
    grep -q "Conversion successful" "$work/messages.txt" 2>/dev/null && break
    sleep 0.1
done
sleep 0.5
xdotool mousemove --window "$id" 300 60
sleep 0.3
import -window "$id" "$work/finished.png"
kill $pid
wait $pid 2>/dev/null
exit 0
INSIDE
chmod +x "$work/inside.sh"
xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$program" "$work" "$(realpath scripts/wizard_window.sh)"

grep -q "Conversion successful. Do you want to open the converted volume?" "$work/messages.txt" || {
    echo "the conversion did not report success; messages:" >&2; cat "$work/messages.txt" >&2 2>/dev/null; exit 1; }
fsck.fat -n "$work/e.img" >"$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt" >&2; exit 1; }

/usr/bin/python3 - "$work/list.png" "$work/finished.png" <<'CHECK'
import sys
from PIL import Image

shots = [Image.open(p).convert("RGB") for p in sys.argv[1:3]]
failures = []

def expect(image, name, x, y, rgb, tolerance=0):
    got = image.getpixel((x, y))
    if any(abs(g - w) > tolerance for g, w in zip(got, rgb)):
        failures.append(f"{name} at ({x},{y}): {got}, want {rgb}")

lst, done = shots
# List at (6, 100), 590 x 303: its frame's innermost line one pixel outside.
expect(lst, "list page background", 0, 300, (231, 235, 239))
expect(lst, "list frame, outermost", 1, 300, (227, 231, 235))
expect(lst, "list frame", 5, 200, (165, 172, 181))
expect(lst, "list frame", 300, 99, (165, 172, 181))
expect(lst, "header line", 300, 49, (182, 186, 191))
# The selected row differs from the list's white.
row = lst.getpixel((300, 125))
if row == (255, 255, 255):
    failures.append(f"first row at (300,125) is not selected: {row}")
# Conversion page: background below the bar, the details box's frame at its top.
expect(done, "page background", 300, 448, (231, 235, 239))
if failures:
    print("\n".join(failures))
    sys.exit(1)
print("colours: all as expected")
CHECK
cp "$work/list.png" "$docs/volume-list.png"
cp "$work/finished.png" "$docs/conversion-finished.png"
echo "pictures: $docs/volume-list.png $docs/conversion-finished.png"
