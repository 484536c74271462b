#!/usr/bin/env bash
# Photographs the road of a conversion in each module under a virtual X server:
#  - NTFS to FAT32: the volume list with the demo's sample volume listed as E
#    (VELUNDRA_DRIVES), and the conversion page after it finished;
#  - FAT to NTFS: a small FAT32 image (mkfs.fat, mcopy) given to the drive table as D (the
#    first letter after the system's C, so the list's first row), converted by our converter
#    beside the wizard, and the finished page with the converter's output.
# Checks the colours at their places (page background RGB(231,235,239), the innermost line
# of the frame around the list and the details box RGB(165,172,181)), that both conversions
# reported success, that fsck.fat -n finds the converted sample clean and ntfsfix accepts
# the NTFS image. Writes docs/volume-list.png, docs/conversion-finished.png and
# docs/tontfs-finished.png.
#
# Usage: scripts/screenshot_wizard.sh [PROGRAM]   (default: build/bin/velundra;
# velundra-tontfs must lie beside it)
# Needs xvfb, xauth, xdotool, imagemagick, python3-pil, xz, dosfstools, mtools and ntfs-3g.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/bin/velundra}")
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
[ -x "$(dirname "$program")/velundra-tontfs" ] || { echo "no velundra-tontfs beside $program" >&2; exit 1; }
docs=$(realpath docs)
work=$(mktemp -d)
if [ -n "${VELUNDRA_KEEP_TEMP:-}" ]; then echo "pictures in $work"; else trap 'rm -rf "$work"' EXIT; fi
xz -dc tests/fixtures/sample-ntfs.img.xz >"$work/e.img"
truncate -s 64M "$work/d.img"
mkfs.fat -F 32 -n CAMERA "$work/d.img" >/dev/null
mkdir -p "$work/files/DCIM"
printf 'A day at the lake.\n' >"$work/files/notes.txt"
head -c 300000 /dev/urandom >"$work/files/DCIM/IMG_0001.JPG"
MTOOLS_SKIP_CHECK=1 mcopy -s -m -i "$work/d.img" "$work/files/notes.txt" "$work/files/DCIM" ::/

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
set -u
# One module's road: inside.sh PROGRAM WORK WINDOW-SCRIPT MODULE-X DRIVES NAME photographs
# NAME-list.png and NAME-finished.png; its message boxes go to NAME-messages.txt.
program=$1 work=$2 moduleX=$4 drives=$5 name=$6
cd "$work"
# Every message box is answered No (the success question: open nothing) without being shown,
# and written down.
export VELUNDRA_DRIVES="$drives" VELUNDRA_MESSAGE_LOG=$work/$name-messages.txt VELUNDRA_MESSAGE_ANSWER=no
export VELUNDRA_DATA_DIR=$work/data
. "$3"
start_wizard "$program" "$work/$name-wizard.out"
sleep 1
# The module's button (NTFS to FAT32 centred at x = 189, FAT to NTFS at 413; y = 192 + 64),
# then the first row of the list (the list's top at y = 100).
xdotool mousemove --window "$id" "$moduleX" 256 click 1
sleep 1
xdotool mousemove --window "$id" 60 125 click 1
sleep 0.3
xdotool mousemove --window "$id" 300 440
sleep 0.3
import -window "$id" "$work/$name-list.png"
# Next (602 - 105 + 37, 453 - 36 + 12), then Convert at the same place.
xdotool mousemove --window "$id" 534 429 click 1
sleep 1
xdotool mousemove --window "$id" 534 429 click 1
for _ in $(seq 100); do
    grep -q "Conversion successful" "$work/$name-messages.txt" 2>/dev/null && break
    sleep 0.1
done
sleep 0.5
xdotool mousemove --window "$id" 300 60
sleep 0.3
import -window "$id" "$work/$name-finished.png"
kill $pid
wait $pid 2>/dev/null
exit 0
INSIDE
chmod +x "$work/inside.sh"
for road in "189 E=$work/e.img fat32" "413 D=$work/d.img ntfs"; do
    set -- $road
    xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$program" "$work" "$(realpath scripts/wizard_window.sh)" \
        "$1" "$2" "$3"
    grep -q "Conversion successful. Do you want to open the converted volume?" "$work/$3-messages.txt" || {
        echo "the conversion to $3 did not report success; messages:" >&2
        cat "$work/$3-messages.txt" >&2 2>/dev/null
        exit 1
    }
done
fsck.fat -n "$work/e.img" >"$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt" >&2; exit 1; }
ntfsfix -n "$work/d.img" >"$work/ntfsfix.txt" 2>&1 || { cat "$work/ntfsfix.txt" >&2; exit 1; }

PYTHONPATH=scripts /usr/bin/python3 - "$work/fat32-list.png" "$work/fat32-finished.png" "$work/ntfs-finished.png" <<'CHECK'
from pixelcheck import expect, failures, finish, pictures

lst, done, ntfs = pictures()
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
# FAT to NTFS: the details box's frame at its top; the background left of the note lines.
expect(ntfs, "details box frame", 300, 55, (165, 172, 181))
expect(ntfs, "page background", 2, 340, (231, 235, 239))
finish()
CHECK
cp "$work/fat32-list.png" "$docs/volume-list.png"
cp "$work/fat32-finished.png" "$docs/conversion-finished.png"
cp "$work/ntfs-finished.png" "$docs/tontfs-finished.png"
echo "pictures: $docs/volume-list.png $docs/conversion-finished.png $docs/tontfs-finished.png"
