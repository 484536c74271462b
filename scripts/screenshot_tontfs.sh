#!/usr/bin/env bash
# Photographs a finished FAT to NTFS conversion under a virtual X server: a small FAT32 image
# (mkfs.fat, mcopy) given to the drive table as D (VELUNDRA_DRIVES; the first letter after
# the system's C, so that it is the list's first row), chosen in the FAT to NTFS module and
# converted by our converter beside the wizard. Checks the colours at their places (page
# background RGB(231,235,239), the innermost line of the details box's frame RGB(165,172,181)),
# that the wizard reported success and that the image is NTFS that ntfsfix accepts. Writes
# docs/tontfs-finished.png.
#
# Usage: scripts/screenshot_tontfs.sh [PROGRAM]   (default: build/bin/velundra; velundra-tontfs
# must lie beside it)
# Needs xvfb, xauth, xdotool, imagemagick, python3-pil, dosfstools, mtools and ntfs-3g.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/bin/velundra}")
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
[ -x "$(dirname "$program")/velundra-tontfs" ] || { echo "no velundra-tontfs beside $program" >&2; exit 1; }
docs=$(realpath docs)
work=$(mktemp -d)
if [ -n "${VELUNDRA_KEEP_TEMP:-}" ]; then echo "pictures in $work"; else trap 'rm -rf "$work"' EXIT; fi
truncate -s 64M "$work/d.img"
mkfs.fat -F 32 -n CAMERA "$work/d.img" >/dev/null
mkdir -p "$work/files/DCIM"
printf 'A day at the lake.\n' >"$work/files/notes.txt"
head -c 300000 /dev/urandom >"$work/files/DCIM/IMG_0001.JPG"
MTOOLS_SKIP_CHECK=1 mcopy -s -m -i "$work/d.img" "$work/files/notes.txt" "$work/files/DCIM" ::/

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
set -u
program=$1 work=$2
cd "$work"
# Every message box is answered No (the success question: open nothing) without being shown,
# and written to messages.txt.
export VELUNDRA_DRIVES="D=$work/d.img" VELUNDRA_MESSAGE_LOG=$work/messages.txt VELUNDRA_MESSAGE_ANSWER=no
export VELUNDRA_DATA_DIR=$work/data
. "$3"
start_wizard "$program" "$work/wizard.out"
sleep 1
# The FAT to NTFS module (its button's centre at (cx/2 + 5 + 107, 192 + 64)), then the first
# row of the list (the list's top at y = 100). The start page with the module's description
# under the mouse is kept beside the pictures (start-hover.png) for a look.
xdotool mousemove --window "$id" 413 256
sleep 0.5
import -window "$id" "$work/start-hover.png"
xdotool click 1
sleep 1
xdotool mousemove --window "$id" 60 125 click 1
sleep 0.3
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
ntfsfix -n "$work/d.img" >"$work/ntfsfix.txt" 2>&1 || { cat "$work/ntfsfix.txt" >&2; exit 1; }

/usr/bin/python3 - "$work/finished.png" <<'CHECK'
import sys
from PIL import Image

done = Image.open(sys.argv[1]).convert("RGB")
failures = []

def expect(name, x, y, rgb):
    got = done.getpixel((x, y))
    if got != rgb:
        failures.append(f"{name} at ({x},{y}): {got}, want {rgb}")

# The details box from (W + 8, header bottom + 6): its frame's innermost line one pixel
# above it; the page background left of the note lines.
expect("page background", 2, 340, (231, 235, 239))
expect("details box frame", 300, 55, (165, 172, 181))
if failures:
    print("\n".join(failures))
    sys.exit(1)
print("colours: all as expected")
CHECK
cp "$work/finished.png" "$docs/tontfs-finished.png"
echo "picture: $docs/tontfs-finished.png"
