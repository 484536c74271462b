#!/usr/bin/env bash
# Starts the wizard under a virtual X server, photographs its start page and the first page
# of the NTFS to FAT32 module, and checks the colours at the places they must have:
#   start page: the dark band RGB(51,51,51) above y=64, its line RGB(28,38,47) at y=64, the
#   body RGB(227,237,249), the link background RGB(227,234,249), the module buttons' white
#   faces;
#   module page: the header band's gradient ends and line, the button row's face gradient.
# The start page picture is written to docs/start-page.png (used by the README); then
# scripts/screenshot_wizard.sh photographs the volume list and a finished conversion.
#
# Usage: scripts/screenshot.sh [PROGRAM]   (default: build/bin/velundra)
# Needs xvfb, xauth, xdotool, imagemagick and python3-pil (scripts/deps.sh).
# Exits 0 when every colour matches, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/bin/velundra}")
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
out=$(realpath docs)/start-page.png
work=$(mktemp -d)
# VELUNDRA_KEEP_TEMP=1 keeps both pictures and the wizard's output there for a look.
if [ -n "${VELUNDRA_KEEP_TEMP:-}" ]; then echo "pictures in $work"; else trap 'rm -rf "$work"' EXIT; fi

cat >"$work/inside.sh" <<'INSIDE'
#!/usr/bin/env bash
# Runs inside xvfb-run: start the wizard, wait for its window, photograph, click, photograph.
set -u
program=$1 work=$2
cd "$work"
. "$3"
start_wizard "$program" "$work/wizard.out"
sleep 1
import -window "$id" "$work/start.png"
# The NTFS to FAT32 module button: its centre at (cx/2 - 219 + 107, 192 + 64).
xdotool mousemove --window "$id" 189 256 click 1
sleep 1
xdotool mousemove --window "$id" 5 5
sleep 0.3
import -window "$id" "$work/module.png"
kill $pid
wait $pid 2>/dev/null
exit 0
INSIDE
chmod +x "$work/inside.sh"
xvfb-run -a -s '-screen 0 1280x1024x24' "$work/inside.sh" "$program" "$work" "$(realpath scripts/wizard_window.sh)"

# Debian's interpreter, which python3-pil belongs to (a python3 of pyenv or a venv may come first).
PYTHONPATH=scripts /usr/bin/python3 - "$work/start.png" "$work/module.png" <<'CHECK'
from pixelcheck import expect, failures, finish, pictures

start, module = pictures()

if start.size != (602, 453):
    failures.append(f"client area {start.size}, want (602, 453)")
for x in (0, 300, 450, 601):
    expect(start, "band", x, 2, (51, 51, 51))
    expect(start, "band", x, 63, (51, 51, 51))
    expect(start, "band line", x, 64, (28, 38, 47))
    expect(start, "body", x, 65, (227, 237, 249))
    expect(start, "body", x, 440, (227, 237, 249))
expect(start, "body", 300, 180, (227, 237, 249))
for left in (82, 306):  # 602/2 - 219 and 224 to the right of it
    expect(start, "module button face", left + 6, 198, (255, 255, 255), 3)
# The first link's top-left corner: its background.
left = min(x for x in range(602) if start.getpixel((x, 404)) != (227, 237, 249))
expect(start, "link background", left, 403, (227, 234, 249))

expect(module, "header band top", 300, 0, (171, 190, 211), 1)
expect(module, "header band bottom", 300, 48, (235, 240, 244), 2)
expect(module, "header line", 300, 49, (182, 186, 191))
next_x, top = 602 - 75 - 30, 453 - 36
expect(module, "Next face top", next_x + 3, top + 1, (245, 246, 248), 2)
expect(module, "Next face bottom", next_x + 3, top + 22, (231, 234, 239), 2)
expect(module, "Help face top", 6 + 3, top + 1, (245, 246, 248), 2)

finish()
CHECK
cp "$work/start.png" "$out"
echo "start page: $out"
# The road of one conversion: the volume list with an image listed, and a finished conversion.
scripts/screenshot_wizard.sh "$program"
