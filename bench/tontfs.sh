#!/usr/bin/env bash
# FAT to NTFS benchmark: time, bytes written and memory of velundra-tontfs on a 2 GiB FAT32
# volume of 20,000 small files and 640 MiB of media, set against the copy route's lower bound
# measured in the same run.
#
# Usage: bench/tontfs.sh [BUILD_DIR]   (default: build; needs velundra-tontfs, velundra-convert
#                                        and bench-fatcopybound in BUILD_DIR/bin)
#
# Environment:
#   BENCH_CACHE        where the source image is cached (default BUILD_DIR/bench-cache); it is
#                      rebuilt when the code that makes it changes
#   BENCH_REPEAT       runs of steps 2 to 4 (default 1); with more, a last line gives every
#                      run's ratio and their median, as the copy bound varies from run to run
#
# In one run:
#   1. build (or reuse) the FAT32 image: mkntfs and an ntfs-3g mount take the files (20,000 of
#      1 to 8 KiB in 100 folders from a seeded generator, and 20 files of 32 MiB), then
#      velundra-convert turns the volume into FAT32 with 4 KiB clusters (mtools would need
#      hours for 20,000 names); fsck.fat -n judges it;
#   2. copy bound: bench-fatcopybound reads every file's clusters once and writes as many
#      bytes once to a scratch file beside the image, flushed;
#   3. convert a copy with velundra-tontfs, measuring the wall time and the child's peak RSS
#      (wait4); the bytes of metadata and the bytes written by the volume device's counter
#      come from its summary line, the bytes the kernel counted as written by the process
#      from wait4 (ru_oublock, 512-byte units of /proc/PID/io write_bytes); ntfsfix -n judges
#      the result;
#   4. print the figures and the ratios (goals: time at most 0.05 of the copy bound, bytes
#      written at most 1.1 times the metadata).
set -euo pipefail

BUILD_DIR=${1:-build}
for prog in velundra-tontfs velundra-convert bench-fatcopybound; do
    [[ -x "$BUILD_DIR/bin/$prog" ]] || { echo "tontfs.sh: $BUILD_DIR/bin/$prog is missing" >&2; exit 1; }
done
for tool in mkntfs ntfs-3g ntfsfix fsck.fat python3; do
    command -v "$tool" >/dev/null || { echo "tontfs.sh: $tool is missing" >&2; exit 1; }
done

export BENCH_BUILD_DIR=$BUILD_DIR
export BENCH_SCRIPT=${BASH_SOURCE[0]}
export TZ=UTC
exec python3 -c "$(cat <<'PYTHON'
import hashlib, os, random, re, shutil, subprocess, sys, textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(os.environ['BENCH_SCRIPT'])))
from bench_common import MiB, Mount, fsck_verdict, mib, run, say

build = os.environ['BENCH_BUILD_DIR']
bin_dir = os.path.join(build, 'bin')
cache = os.environ.get('BENCH_CACHE') or os.path.join(build, 'bench-cache')
repeat = max(1, int(os.environ.get('BENCH_REPEAT', '1')))
# The cached image is rebuilt when the code that makes it changes (the text between the
# marks below), not when the measuring changes.
with open(os.environ['BENCH_SCRIPT'], 'rb') as f:
    _text = f.read()
key = hashlib.sha256(_text[_text.index(b'\n# ---- the cached image:'):_text.index(b"\n# ---- end of the cached image's code")]).hexdigest()[:12]
os.makedirs(cache, exist_ok=True)
source = os.path.join(cache, 'tontfs-%s.img' % key)
# Images made by earlier versions of the code below are of no more use.
for old in os.listdir(cache):
    if old.startswith('tontfs-') and old.endswith('.img') and old not in (os.path.basename(source), 'tontfs-work.img'):
        os.remove(os.path.join(cache, old))

# ---- the cached image: only the code from here to its end mark names the image ----
# 1. The FAT32 source image.
if not os.path.exists(source):
    say('building', source)
    tmp = source + '.tmp'
    run(['truncate', '-s', '0', tmp])
    run(['truncate', '-s', '2G', tmp])
    run(['mkntfs', '-F', '-Q', '-q', '-c', '4096', '-L', 'MEDIA', tmp])
    rng = random.Random(7)
    with Mount(tmp) as root:
        block = rng.randbytes(MiB)
        for d in range(100):
            os.mkdir(os.path.join(root, 'folder %03d' % d))
            for i in range(200):
                n = rng.randint(1024, 8192)
                with open(os.path.join(root, 'folder %03d' % d, 'small file %05d.txt' % i), 'wb') as f:
                    f.write(block[:n])
        os.mkdir(os.path.join(root, 'Media'))
        for i in range(20):
            with open(os.path.join(root, 'Media', 'clip %02d.mp4' % i), 'wb') as f:
                for _ in range(32):
                    f.write(block)
    run([os.path.join(bin_dir, 'velundra-convert'), '--yes', '--quiet', tmp])
    clean, lines = fsck_verdict(tmp)
    if not clean:
        sys.exit('the FAT32 source is not clean: ' + '\n'.join(lines))
    os.rename(tmp, source)

# ---- end of the cached image's code ----

ratios = []  # (wall, bound) of each run


def bench_once():
    work = os.path.join(cache, 'tontfs-work.img')
    shutil.copyfile(source, work)
    # The copy's dirty pages would otherwise be written back inside whichever measurement
    # flushes the image first.
    os.sync()

    # 2. The copy route's lower bound.
    out = run([os.path.join(bin_dir, 'bench-fatcopybound'), work, work + '.scratch'])
    m = re.search(r'files (\d+) bytes (\d+) read_s ([\d.]+) write_s ([\d.]+)', out)
    files, data = int(m.group(1)), int(m.group(2))
    bound = float(m.group(3)) + float(m.group(4))

    # 3. The conversion, its label answer (MEDIA, which velundra-convert kept) on standard
    #    input, measured like bench_common.measure.
    proc = subprocess.run(['python3', '-c', textwrap.dedent('''
    import os, subprocess, sys, time
    t0 = time.monotonic()
    p = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(b"MEDIA\\n"); p.stdin.close()
    out = p.stdout.read(); err = p.stderr.read()
    _, status, usage = os.wait4(p.pid, 0)
    print(time.monotonic() - t0, usage.ru_maxrss, usage.ru_oublock, os.waitstatus_to_exitcode(status))
    sys.stdout.write(out.decode()); sys.stderr.write(err.decode())
    '''), os.path.join(bin_dir, 'velundra-tontfs'), work, '/FS:NTFS'], capture_output=True, text=True)
    first, _, out = proc.stdout.partition('\n')
    wall, rss_kib, oublock, status = first.split()
    wall, rss_kib, status = float(wall), int(rss_kib), int(status)
    kernel_written = int(oublock) * 512
    if status != 0:
        sys.exit('velundra-tontfs failed:\n' + out + proc.stderr)
    s = re.search(r'Converted: (\d+) files, (\d+) folders, cluster (\d+) -> (\d+) bytes, (\d+) bytes of metadata, '
                  r'(\d+) bytes written, ([\d.]+) s', out)
    metadata, written = int(s.group(5)), int(s.group(6))
    fix = subprocess.run(['ntfsfix', '-n', work], capture_output=True, text=True)

    # 4. Figures.
    say('volume: 2 GiB FAT32, %d files (%s of data), cluster %s -> %s bytes' % (files, mib(data), s.group(3), s.group(4)))
    say('copy bound: %.2f s (read every file once, write as many bytes once)' % bound)
    say('conversion: %.2f s wall; ratio to the copy bound %.4f (goal <= 0.05)' % (wall, wall / bound))
    say('written: %s by the device counter, %s by the kernel (the process\'s write_bytes), of %s metadata; '
        'ratio %.3f (goal <= 1.1)' % (mib(written), mib(kernel_written), mib(metadata), max(written, kernel_written) / metadata))
    say('peak memory: %.1f MiB, %.0f bytes per file' % (rss_kib / 1024, rss_kib * 1024 / files))
    say('ntfsfix -n: exit %d' % fix.returncode)
    os.remove(work)
    ratios.append((wall, bound))


for _ in range(repeat):
    bench_once()
if len(ratios) > 1:
    ordered = sorted(w / b for w, b in ratios)
    say('\n%d runs: ratio to the copy bound %s; median %.4f (wall %s s, bound %s s)'
        % (len(ratios), ' '.join('%.4f' % (w / b) for w, b in ratios), ordered[len(ordered) // 2],
           ' '.join('%.2f' % w for w, _ in ratios), ' '.join('%.2f' % b for _, b in ratios)))
PYTHON
)"
