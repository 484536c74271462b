#!/usr/bin/env bash
# Undo-file benchmark: what --undo costs a conversion. On the benchmark volumes of
# bench/convert.sh (built and cached by it: run it first), each round converts two fresh copies
# of the source image, one plainly and one with --undo, and reports
#   - wall time of both and their ratio (goal: at most 1.5),
#   - the undo file's size against the bytes the conversion wrote (from the summary line),
#   - the time of the rollback.
#
# Usage: bench/undo.sh [BUILD_DIR] [ROUNDS]    (default: build 3; the best round is reported)
set -euo pipefail

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
CONVERT=$BUILD_DIR/bin/velundra-convert
[[ -x $CONVERT ]] || { echo "undo.sh: $CONVERT is missing" >&2; exit 1; }
CACHE=${BENCH_CACHE:-$BUILD_DIR/bench-cache}
shopt -s nullglob
images=("$CACHE"/convert-*.img)
[[ ${#images[@]} -gt 0 ]] || { echo "undo.sh: no benchmark image in $CACHE; run bench/convert.sh $BUILD_DIR first" >&2; exit 1; }
export TZ=UTC

work=$(mktemp -d "${TMPDIR:-/tmp}/velundra-undo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

for source in "${images[@]}"; do
    echo "== $(basename "$source")"
    python3 - "$CONVERT" "$source" "$work" "$ROUNDS" <<'PYTHON'
import os, re, shutil, subprocess, sys, time
convert, source, work, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def copy():
    image = os.path.join(work, 'volume.img')
    subprocess.run(['cp', '--sparse=always', source, image], check=True)
    subprocess.run(['sync'], check=True)
    return image

def timed(cmd):
    t0 = time.monotonic()
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit('failed: %s\n%s' % (' '.join(cmd), r.stderr))
    return time.monotonic() - t0, r.stdout + r.stderr

def written_mib(err):
    m = re.search(r'([\d.]+) MiB written', err)
    return float(m.group(1)) if m else float('nan')

best = None
for _ in range(rounds):
    image = copy()
    plain, err = timed([convert, '--yes', '--quiet', image])
    image = copy()
    undo = os.path.join(work, 'volume.undo')
    if os.path.exists(undo):
        os.remove(undo)
    with_undo, err = timed([convert, '--yes', '--quiet', '--undo', undo, image])
    size = os.path.getsize(undo)
    rollback, _ = timed([convert, '--rollback', undo, '--yes', '--quiet', image])
    row = (with_undo / plain, plain, with_undo, size, written_mib(err), rollback)
    if best is None or row[0] < best[0]:
        best = row
ratio, plain, with_undo, size, written, rollback = best
print('conversion           %.2f s' % plain)
print('with --undo          %.2f s   (ratio %.2f; goal at most 1.5)' % (with_undo, ratio))
print('undo file            %.2f MiB for %.2f MiB written (%.2f of it)' %
      (size / 1048576, written, size / 1048576 / written))
print('rollback             %.2f s' % rollback)
PYTHON
done
