#!/usr/bin/env bash
# Undo-file benchmark: what --undo costs a conversion. On the benchmark volumes of
# bench/convert.sh (NTFS to FAT32) and bench/tontfs.sh (FAT32 to NTFS), built and cached by
# them (run them first), each round converts two fresh copies of the source image, one plainly
# and one with --undo, and reports
#   - the best wall time of each over the rounds and their ratio (goal: at most 1.5),
#   - the undo file's size against the bytes the conversion wrote (from the summary line),
#   - the time of the rollback.
#
# Usage: bench/undo.sh [BUILD_DIR] [ROUNDS]    (default: build 3)
set -euo pipefail

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
CONVERT=$BUILD_DIR/bin/velundra-convert
TONTFS=$BUILD_DIR/bin/velundra-tontfs
for p in "$CONVERT" "$TONTFS"; do [[ -x $p ]] || { echo "undo.sh: $p is missing" >&2; exit 1; }; done
CACHE=${BENCH_CACHE:-$BUILD_DIR/bench-cache}
shopt -s nullglob
images=("$CACHE"/convert-*.img "$CACHE"/tontfs-[0-9a-f]*.img)
[[ ${#images[@]} -gt 0 ]] || { echo "undo.sh: no benchmark image in $CACHE; run bench/convert.sh $BUILD_DIR first" >&2; exit 1; }
export TZ=UTC

work=$(mktemp -d "${TMPDIR:-/tmp}/velundra-undo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

for source in "${images[@]}"; do
    echo "== $(basename "$source")"
    python3 - "$CONVERT" "$TONTFS" "$source" "$work" "$ROUNDS" <<'PYTHON'
import os, re, shutil, subprocess, sys, time
convert, tontfs, source, work, rounds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
to_ntfs = os.path.basename(source).startswith('tontfs-')

def copy():
    image = os.path.join(work, 'volume.img')
    subprocess.run(['cp', '--sparse=always', source, image], check=True)
    subprocess.run(['sync'], check=True)
    return image

def timed(cmd, answer=None):
    t0 = time.monotonic()
    r = subprocess.run(cmd, capture_output=True, text=True, input=answer)
    if r.returncode != 0:
        sys.exit('failed: %s\n%s' % (' '.join(cmd), r.stderr))
    return time.monotonic() - t0, r.stdout + r.stderr

def written_mib(err):
    m = re.search(r'([\d.]+) MiB written', err)
    if m:
        return float(m.group(1))
    m = re.search(r'(\d+) bytes written', err)  # velundra-tontfs's summary
    return int(m.group(1)) / 1048576 if m else float('nan')

def conversion(image, undo=None):
    if to_ntfs:
        extra = ['--undo', undo] if undo else []
        return timed([tontfs] + extra + [image, '/FS:NTFS'], answer='MEDIA\n')
    extra = ['--undo', undo] if undo else []
    return timed([convert, '--yes', '--quiet'] + extra + [image])

plains, undos, rollbacks = [], [], []
for _ in range(rounds):
    image = copy()
    plains.append(conversion(image)[0])
    image = copy()
    undo = os.path.join(work, 'volume.undo')
    if os.path.exists(undo):
        os.remove(undo)
    seconds, err = conversion(image, undo)
    undos.append(seconds)
    size = os.path.getsize(undo)
    written = written_mib(err)
    rollbacks.append(timed([convert, '--rollback', undo, '--yes', '--quiet', image])[0])
plain, with_undo, rollback = min(plains), min(undos), min(rollbacks)
print('conversion           %.2f s (best of %d)' % (plain, rounds))
print('with --undo          %.2f s (best of %d; ratio %.2f; goal at most 1.5)' % (with_undo, rounds, with_undo / plain))
print('undo file            %.2f MiB for %.2f MiB written (%.2f of it)' %
      (size / 1048576, written, size / 1048576 / written))
print('rollback             %.2f s' % rollback)
PYTHON
done
