#!/usr/bin/env bash
# Benchmark of the conversion with a larger FAT32 cluster: a sparse 300 GiB NTFS volume with
# 4 KiB clusters (FAT32 needs 8 KiB clusters, groups of 2 NTFS clusters) holding 2 GiB of
# files, converted by velundra-convert; wall time, bytes moved beside the least that must
# move, bytes read and written, peak memory.
#
# Usage: bench/changedcluster.sh [BUILD_DIR]   (default: build; needs BUILD_DIR/bin/velundra-convert)
#
# Environment:
#   BENCH_CACHE        where the source image is cached (default BUILD_DIR/bench-cache); it is
#                      rebuilt when this script changes (building takes a few minutes)
#   BENCH_DROP_CACHES  1: drop the page cache before the conversion (affects the whole machine;
#                      off by default, and then the source image starts warm)
#
# In one run:
#   1. build (or reuse) the image: mkntfs, an ntfs-3g mount, 20,000 small files in 100
#      directories (a third small enough to stay resident) and files of random sizes from
#      1 to 48 MiB up to 2 GiB in all, written from a seeded generator; ntfs-3g lays each file
#      down in one piece right after the one before, so its phase (where its pairs of
#      clusters fall against the volume's pairs) is as random as the sizes before it;
#   2. read every file's runs from the source image's MFT (icat of $MFT, records decoded
#      here, extension records joined to their base);
#   3. copy the image and convert the copy with `velundra-convert --yes --quiet --log LOG
#      COPY`, measuring the wall time and the child's peak RSS (wait4), then the time to flush
#      the image; read and written bytes from the summary line ("Converted: changed-cluster
#      path, cluster 4096 -> 8192 bytes, ... X MiB read, Y MiB written, Z s"); fsck.fat -n
#      judges the result;
#   4. the least that must move: with the data area of the converted boot sector (first LCN
#      (reserved + 2 x FAT sectors) / 8, last LCN total sectors / 8 - 1), every group of a
#      file (its VCNs 2k, 2k + 1; the last one may be single) that is not exactly one group of
#      the data area -- consecutive LCNs starting at a group boundary, not FAT cluster 2
#      (kept for the root directory while data moves), not past the end -- must move;
#      its clusters are read once and written once;
#   5. bytes moved: what the converter wrote less both FATs, the directory and resident-data
#      clusters (from its log) and the four boot and FSInfo sectors; and the log's count of
#      groups moved;
#   6. print the figures and the ratios.
# The pieces it shares with bench/convert.sh are in bench/bench_common.py.
set -euo pipefail

BUILD_DIR=${1:-build}
if [[ ! -x "$BUILD_DIR/bin/velundra-convert" ]]; then
    echo "changedcluster.sh: $BUILD_DIR/bin/velundra-convert is missing;" \
         "build it: cmake --build $BUILD_DIR --target velundra-convert" >&2
    exit 1
fi
for tool in mkntfs ntfs-3g icat fsck.fat python3; do
    command -v "$tool" >/dev/null || { echo "changedcluster.sh: $tool is missing" >&2; exit 1; }
done

export BENCH_BUILD_DIR=$BUILD_DIR
export BENCH_SCRIPT=${BASH_SOURCE[0]}
export TZ=UTC
exec python3 -c "$(cat <<'PYTHON'
import json, os, random, re, shutil, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(os.environ['BENCH_SCRIPT'])))
import bench_common
from bench_common import MiB, Mount, boot_sector, fsck_verdict, measure, mib, parse_summary, run, say

build = os.environ['BENCH_BUILD_DIR']
convert = os.path.join(build, 'bin', 'velundra-convert')
cache = os.environ.get('BENCH_CACHE') or os.path.join(build, 'bench-cache')
drop = os.environ.get('BENCH_DROP_CACHES') == '1'
key = bench_common.scripts_key(os.environ['BENCH_SCRIPT'])

SIZE, CLUSTER = '300G', 4096
SMALL_FILES, SMALL_DIRS = 20000, 100
TOTAL_BYTES = 2 << 30
BIG_MIN, BIG_MAX = 1 << 20, 48 << 20


def populate(root, rng):
    """The small files, then large ones of random byte counts until 2 GiB are written."""
    block = rng.randbytes(MiB)
    total = 0
    for d in range(SMALL_DIRS):
        os.mkdir(os.path.join(root, 'dir%03d' % d))
    for i in range(SMALL_FILES):
        n = rng.randrange(0, 600) if rng.random() < 0.33 else rng.randrange(600, 12288)
        start = rng.randrange(0, MiB - n)
        with open(os.path.join(root, 'dir%03d' % (i % SMALL_DIRS), 'file%05d.dat' % i), 'wb') as f:
            f.write(block[start:start + n])
        total += n
    os.mkdir(os.path.join(root, 'big'))
    i = 0
    while total < TOTAL_BYTES:
        n = min(rng.randrange(BIG_MIN, BIG_MAX), TOTAL_BYTES - total)
        with open(os.path.join(root, 'big', 'big%03d.bin' % i), 'wb') as f:
            m = 0
            while m * MiB < n:
                piece = min(MiB, n - m * MiB)
                f.write((i.to_bytes(4, 'little') + m.to_bytes(4, 'little') + block[8:])[:piece])
                m += 1
        total += n
        i += 1


def facts_of(image):
    facts = dict(files=0, dirs=0, bytes=0)
    with Mount(image, ro=True) as root:
        for dirpath, dirnames, filenames in os.walk(root):
            facts['dirs'] += len(dirnames)
            for n in filenames:
                facts['files'] += 1
                facts['bytes'] += os.stat(os.path.join(dirpath, n)).st_size
    return facts


def source_image():
    os.makedirs(cache, exist_ok=True)
    image = os.path.join(cache, 'changedcluster-%s.img' % key)
    facts_path = image + '.json'
    if os.path.exists(image) and os.path.exists(facts_path):
        with open(facts_path) as f:
            return image, json.load(f)
    for old in os.listdir(cache):
        if old.startswith('changedcluster-'):
            os.remove(os.path.join(cache, old))
    say('building %s (%s, %d-byte clusters, 2 GiB of files; takes a few minutes, cached)...'
        % (image, SIZE, CLUSTER))
    tmp = image + '.tmp'
    t0 = time.monotonic()
    run(['truncate', '-s', SIZE, tmp])
    run(['mkntfs', '-F', '-Q', '-q', '-c', str(CLUSTER), '-L', 'BENCH', tmp])
    with Mount(tmp) as root:
        populate(root, random.Random(300 << 30))
    facts = facts_of(tmp)
    os.replace(tmp, image)
    with open(facts_path, 'w') as f:
        json.dump(facts, f)
    say('  built in %.0f s' % (time.monotonic() - t0))
    return image, facts


def decode_pairs(rec, at, vcn):
    """The runs [(vcn, lcn, count)] of the mapping pairs at rec[at:]; lcn -1 for a hole."""
    runs, lcn = [], 0
    while rec[at]:
        lengths, deltas = rec[at] & 0x0F, rec[at] >> 4
        count = int.from_bytes(rec[at + 1:at + 1 + lengths], 'little')
        if deltas:
            lcn += int.from_bytes(rec[at + 1 + lengths:at + 1 + lengths + deltas], 'little',
                                  signed=True)
            runs.append((vcn, lcn, count))
        else:
            runs.append((vcn, -1, count))
        vcn += count
        at += 1 + lengths + deltas
    return runs


def file_runs(image):
    """{record: (data size, names, [(vcn, lcn, count)])} of every file (record 16 and up,
    in use, not a directory) whose unnamed $DATA is non-resident, read from the MFT."""
    with open(image, 'rb') as f:
        boot = f.read(512)
    sector = int.from_bytes(boot[0x0B:0x0D], 'little')
    cluster = sector * boot[0x0D]
    per = int.from_bytes(boot[0x40:0x41], 'little', signed=True)
    size = cluster * per if per > 0 else 1 << -per
    mft = subprocess.run(['icat', '-f', 'ntfs', image, '0'], check=True, capture_output=True).stdout
    bases, extents = {}, {}
    for number in range(16, len(mft) // size):
        rec = bytearray(mft[number * size:(number + 1) * size])
        if rec[0:4] != b'FILE':
            continue
        usa, count = int.from_bytes(rec[4:6], 'little'), int.from_bytes(rec[6:8], 'little')
        for i in range(1, count):
            rec[i * sector - 2:i * sector] = rec[usa + 2 * i:usa + 2 * i + 2]
        flags = int.from_bytes(rec[0x16:0x18], 'little')
        if not flags & 1:
            continue
        base = int.from_bytes(rec[0x20:0x26], 'little') or number
        if base == number:
            bases[number] = dict(dir=bool(flags & 2), links=int.from_bytes(rec[0x12:0x14], 'little'))
        at = int.from_bytes(rec[0x14:0x16], 'little')
        while at + 8 <= size:
            kind = int.from_bytes(rec[at:at + 4], 'little')
            length = int.from_bytes(rec[at + 4:at + 8], 'little')
            if kind == 0xFFFFFFFF or length == 0:
                break
            if kind == 0x80 and rec[at + 9] == 0 and rec[at + 8] == 1:
                low = int.from_bytes(rec[at + 0x10:at + 0x18], 'little')
                pairs = at + int.from_bytes(rec[at + 0x20:at + 0x22], 'little')
                e = extents.setdefault(base, dict(size=None, pieces=[]))
                if low == 0:
                    e['size'] = int.from_bytes(rec[at + 0x30:at + 0x38], 'little')
                e['pieces'].append((low, decode_pairs(rec, pairs, low)))
            at += length
    files = {}
    for number, e in extents.items():
        b = bases.get(number)
        if b is None or b['dir'] or e['size'] is None:
            continue
        runs = [r for _, piece in sorted(e['pieces']) for r in piece]
        files[number] = (e['size'], b['links'], runs)
    return files


def least_moves(files, first_lcn, last_lcn, group, cluster):
    """(groups, clusters, all groups, all clusters, link copy clusters): the groups of file
    data not already on one group of the data area, and their clusters; further hard-link
    names each need a copy of all their file's clusters."""
    must_groups = must_clusters = all_groups = all_clusters = copies = 0
    for size, links, runs in files.values():
        n = -(-size // cluster)  # the converter cuts clusters past the data size
        lcns = []
        for vcn, lcn, count in runs:
            take = min(count, n - len(lcns))
            if take <= 0:
                break
            lcns.extend(range(lcn, lcn + take) if lcn >= 0 else [-1] * take)
        for k in range(0, len(lcns), group):
            g = lcns[k:k + group]
            in_place = (all(g[i] == g[0] + i for i in range(len(g))) and g[0] >= 0 and
                        (g[0] - first_lcn) % group == 0 and g[0] >= first_lcn + group and
                        g[-1] <= last_lcn)
            all_groups += 1
            all_clusters += len(g)
            if not in_place:
                must_groups += 1
                must_clusters += len(g)
        copies += max(0, links - 1) * len(lcns)
    return must_groups, must_clusters, all_groups, all_clusters, copies


def log_figures(log):
    text = open(log, errors='replace').read() if os.path.exists(log) else ''
    figures = {}
    m = re.search(r'changed cluster size: groups of (\d+), phase (\d+), data area from LCN (\d+), '
                  r'(\d+) clusters needed of (\d+) \(files (\d+), directories (\d+), resident (\d+)\)',
                  text)
    if m:
        figures.update(group=int(m.group(1)), phase=int(m.group(2)), first_lcn=int(m.group(3)),
                       dirs=int(m.group(7)), resident=int(m.group(8)))
    m = re.search(r'relocation: (\d+) groups moved, (\d+) clusters packed in (\d+) and (\d+) passes',
                  text)
    if m:
        figures.update(moved=int(m.group(1)), packed=int(m.group(2)), align_passes=int(m.group(3)),
                       compact_passes=int(m.group(4)))
    return figures


def bench():
    image, facts = source_image()
    say('reading the runs of every file from the MFT...')
    files = file_runs(image)
    scratch = tempfile.mkdtemp(prefix='velundra-bench-', dir=cache)
    try:
        copy = os.path.join(scratch, 'volume.img')
        log = os.path.join(scratch, 'convert.log')
        run(['cp', '--sparse=always', image, copy])
        os.sync()
        bench_common.drop_caches(drop)
        cmd = [convert, '--yes', '--quiet', '--log', log, copy]
        say('\n== %s volume, %d-byte clusters: %d files, %d directories, %s of file data'
            % (SIZE, CLUSTER, facts['files'], facts['dirs'], mib(facts['bytes'])))
        say('command: ' + ' '.join(cmd))
        wall, rss_kib, out, err, code = measure(cmd)
        t0 = time.monotonic()
        fd = os.open(copy, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
        flush_s = time.monotonic() - t0
        summary, figures = parse_summary(out)
        if code != 0:
            say('velundra-convert exited %d\nstdout: %s\nstderr: %s' % (code, out[-2000:], err[-2000:]))
            return False
        say('summary: ' + summary)
        if figures and figures['path'] != 'changed-cluster':
            say('note: the converter took the %s path' % figures['path'])
        clean, fsck_lines = fsck_verdict(copy)
        say('fsck.fat -n: %s' % ('clean' if clean else 'FINDINGS:\n  ' + '\n  '.join(fsck_lines[:20])))

        bs = boot_sector(copy)
        p = CLUSTER // 512
        group = bs['spc'] // p
        fat_cluster = bs['spc'] * 512
        first_lcn = (bs['reserved'] + bs['nfats'] * bs['fatsz']) // p
        last_lcn = bs['total'] // p - 1
        must_groups, must_clusters, all_groups, all_clusters, copies = \
            least_moves(files, first_lcn, last_lcn, group, CLUSTER)
        least = (must_clusters + copies) * CLUSTER
        logged = log_figures(log)
        fat_bytes = bs['nfats'] * bs['fatsz'] * bs['bps']
        rss = rss_kib * 1024

        say('wall time:          %.2f s (then %.2f s to flush the image)' % (wall, flush_s))
        say('data area:          from LCN %d (phase %d of groups of %d) to LCN %d'
            % (first_lcn, first_lcn % group, group, last_lcn))
        say('misaligned groups:  %d of %d file groups; %d of %d clusters, %s of %s'
            % (must_groups, all_groups, must_clusters, all_clusters,
               mib(must_clusters * CLUSTER), mib(all_clusters * CLUSTER)))
        if copies:
            say('hard-link copies:   %d clusters' % copies)
        say('least moved:        %s (read once, written once)' % mib(least))
        if 'moved' in logged:
            say('groups moved (log): %d in %d align and %d compact passes, %d clusters packed'
                % (logged['moved'], logged['align_passes'], logged['compact_passes'], logged['packed']))
        if figures:
            say('bytes read:         %s' % mib(figures['read']))
            say('bytes written:      %s' % mib(figures['written']))
            if 'dirs' in logged:
                others = fat_bytes + (logged['dirs'] + logged['resident']) * fat_cluster + 4 * 512
                moved = figures['written'] - others
                say('bytes moved:        %s = written less FATs %s, %d directory and %d '
                    'resident-data clusters, 4 boot/FSInfo sectors'
                    % (mib(moved), mib(fat_bytes), logged['dirs'], logged['resident']))
                if least:
                    say('moved / least:      %.3f (the summary gives MiB to 2 decimals)' % (moved / least))
                say('read / least moved: %.3f (the rest: file records and index blocks)'
                    % (figures['read'] / least if least else float('nan')))
        say('peak RSS:           %s (one FAT %s, cluster bitmap %s, %.0f bytes per file or '
            'directory beside them)'
            % (mib(rss), mib(fat_bytes / 2), mib(last_lcn / 8),
               (rss - fat_bytes / 2 - last_lcn / 8) / (facts['files'] + facts['dirs'])))
        return clean
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


say('bench/changedcluster.sh %s  (cache %s; page cache %s)'
    % (build, cache, 'dropped' if drop else 'warm'))
sys.exit(0 if bench() else 1)
PYTHON
)" "$@"
