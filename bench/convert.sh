#!/usr/bin/env bash
# Conversion benchmark: time, I/O and memory of velundra-convert on a volume of 20,000 small
# files and 40 files of 16 MiB, set against the least I/O a conversion in place can do and
# against the cost of copying every file once.
#
# Usage: bench/convert.sh [BUILD_DIR]        (default: build; needs BUILD_DIR/bin/velundra-convert)
#
# Environment:
#   BENCH_VARIANTS     which volumes, default "4096 65536 card":
#                        4096   2 GiB with 4 KiB clusters (the same-cluster path; the main figures)
#                        65536  5 GiB with 64 KiB clusters (the memory figure: a small FAT, so the
#                               peak is mostly what is kept per file)
#                        card   a 256 MiB camera card (the tests' small-256m fixture: full once,
#                               data spilled under the FAT area, FAT32 clusters half the NTFS
#                               ones): the time of its whole conversion
#   BENCH_CACHE        where the source images are cached (default BUILD_DIR/bench-cache); an
#                      image is rebuilt when the code that makes it changes
#   BENCH_REPEAT       runs of each volume (default 1); with more, the last line of a volume
#                      gives every run's ratio and their median, as the copy bound varies a
#                      lot from run to run with the page cache and the machine's load
#   BENCH_DROP_CACHES  1: drop the page cache before the conversion and before the copy bound,
#                      so both start cold (affects the whole machine; off by default, and then
#                      both start with the source image warm)
#
# For each volume, in one run:
#   1. build (or reuse) the NTFS image: mkntfs, an ntfs-3g mount, files created with plain
#      writes from a seeded generator; while mounted read-only, note which files NTFS keeps
#      resident (ntfs-3g reports a resident file's allocation in bytes, a non-resident one's
#      in whole clusters);
#   2. copy it and convert the copy with `velundra-convert --yes --quiet --log LOG COPY`,
#      measuring the wall time and the child's peak RSS (wait4), then the time to flush the
#      image; bytes read and written come from the converter's summary line; fsck.fat -n judges
#      the result;
#   3. least I/O: both FATs (size from the converted boot sector) + the directory clusters of
#      the converted volume (fls) + the clusters of resident data (step 1) + the clusters of
#      file data lying under the new FAT area, which must move (ntfscluster and istat on the
#      source image), + the boot sector, its backup and the two FSInfo sectors. Reads at least:
#      one file record per converted name and the data that moves (index blocks not counted);
#   4. copy bound: read every file once through a read-only ntfs-3g mount, then write as many
#      bytes once (dd ... conv=fsync);
#   5. print the figures and the ratios.
# The card: its image from tests/fixtures/make_ntfs.py (cached in BUILD_DIR/fixture-cache, or
# $VELUNDRA_FIXTURE_CACHE), copied and converted with the same command; wall time, the
# converter's summary and fsck.fat -n.
# The pieces it shares with bench/changedcluster.sh are in bench/bench_common.py.
set -euo pipefail

BUILD_DIR=${1:-build}
if [[ ! -x "$BUILD_DIR/bin/velundra-convert" ]]; then
    echo "convert.sh: $BUILD_DIR/bin/velundra-convert is missing;" \
         "build it: cmake --build $BUILD_DIR --target velundra-convert" >&2
    exit 1
fi
export BENCH_FIXTURES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/fixtures" && pwd)/make_ntfs.py
for tool in mkntfs ntfs-3g ntfscluster fls istat fsck.fat python3 dd; do
    command -v "$tool" >/dev/null || { echo "convert.sh: $tool is missing" >&2; exit 1; }
done

export BENCH_BUILD_DIR=$BUILD_DIR
export BENCH_SCRIPT=${BASH_SOURCE[0]}
export TZ=UTC
exec python3 -c "$(cat <<'PYTHON'
import hashlib, json, os, random, re, shutil, struct, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(os.environ['BENCH_SCRIPT'])))
import bench_common
from bench_common import (MiB, Mount, boot_sector, fsck_verdict, measure, mib, parse_summary,
                          run, say)

build = os.environ['BENCH_BUILD_DIR']
convert = os.path.join(build, 'bin', 'velundra-convert')
cache = os.environ.get('BENCH_CACHE') or os.path.join(build, 'bench-cache')
variants = os.environ.get('BENCH_VARIANTS', '4096 65536 card').split()
drop = os.environ.get('BENCH_DROP_CACHES') == '1'
repeat = max(1, int(os.environ.get('BENCH_REPEAT', '1')))
ratios = []  # time / copy bound of each run of the current volume
# The cached image is rebuilt when the code that makes it changes (the text between the
# marks below), not when the measuring changes.
with open(os.environ['BENCH_SCRIPT'], 'rb') as f:
    _text = f.read()
key = hashlib.sha256(_text[_text.index(b'\n# ---- the cached image:'):_text.index(b"\n# ---- end of the cached image's code")]).hexdigest()[:12]

# ---- the cached image: only the code from here to its end mark names the image ----
SMALL_FILES, SMALL_DIRS = 20000, 100
BIG_FILES, BIG_BYTES = 40, 16 << 20
VOLUMES = {'4096': ('2G', 4096), '65536': ('5G', 65536)}


def drop_caches():
    bench_common.drop_caches(drop)


def populate(root, rng):
    """20,000 small files in 100 directories (a third of them small enough to stay resident
    in their file records), and 40 files of 16 MiB."""
    block = rng.randbytes(MiB)
    for d in range(SMALL_DIRS):
        os.mkdir(os.path.join(root, 'dir%03d' % d))
    for i in range(SMALL_FILES):
        n = rng.randrange(0, 600) if rng.random() < 0.33 else rng.randrange(600, 12288)
        start = rng.randrange(0, MiB - n)
        with open(os.path.join(root, 'dir%03d' % (i % SMALL_DIRS), 'file%05d.dat' % i), 'wb') as f:
            f.write(block[start:start + n])
    os.mkdir(os.path.join(root, 'big'))
    for i in range(BIG_FILES):
        with open(os.path.join(root, 'big', 'big%02d.bin' % i), 'wb') as f:
            for m in range(BIG_BYTES // MiB):
                f.write(struct.pack('<II', i, m) + block[8:])


def facts_of(image, cluster):
    """What the mounted volume holds: counts, bytes, and the clusters of resident data."""
    facts = dict(files=0, dirs=0, bytes=0, resident_files=0, resident_clusters=0)
    with Mount(image, ro=True) as root:
        for dirpath, dirnames, filenames in os.walk(root):
            facts['dirs'] += len(dirnames)
            for n in filenames:
                st = os.stat(os.path.join(dirpath, n))
                facts['files'] += 1
                facts['bytes'] += st.st_size
                # Non-resident data is allocated in whole clusters; resident data in bytes.
                if (st.st_blocks * 512) % cluster != 0:
                    facts['resident_files'] += 1
                    facts['resident_clusters'] += -(-st.st_size // cluster)
    return facts


def source_image(variant):
    size, cluster = VOLUMES[variant]
    os.makedirs(cache, exist_ok=True)
    image = os.path.join(cache, 'convert-%s-%s.img' % (variant, key))
    facts_path = image + '.json'
    if os.path.exists(image) and os.path.exists(facts_path):
        with open(facts_path) as f:
            return image, json.load(f)
    for old in os.listdir(cache):
        if old.startswith('convert-%s-' % variant):
            os.remove(os.path.join(cache, old))
    say('building %s (%s, %d-byte clusters; takes a few minutes, cached)...' % (image, size, cluster))
    tmp = image + '.tmp'
    t0 = time.monotonic()
    run(['truncate', '-s', size, tmp])
    run(['mkntfs', '-F', '-Q', '-q', '-c', str(cluster), '-L', 'BENCH', tmp])
    with Mount(tmp) as root:
        populate(root, random.Random(20000 + cluster))
    facts = facts_of(tmp, cluster)
    os.replace(tmp, image)
    with open(facts_path, 'w') as f:
        json.dump(facts, f)
    say('  built in %.0f s' % (time.monotonic() - t0))
    return image, facts


# ---- end of the cached image's code ----

def ntfs_record_bytes(image, cluster):
    with open(image, 'rb') as f:
        b = f.read(512)
    v = struct.unpack_from('<b', b, 0x40)[0]
    return 1 << -v if v < 0 else v * cluster


def directory_clusters(image, cluster):
    body = run(['fls', '-f', 'fat32', '-r', '-p', '-m', '/', '-z', 'UTC', image])
    total = 0
    for line in body.splitlines():
        f = line.split('|')
        if len(f) >= 11 and f[-8].startswith('d/d'):
            total += -(-int(f[-5]) // cluster)
    root = re.search(r'^Size: (\d+)', run(['istat', '-f', 'fat32', image, '2']), re.M)
    return total + -(-int(root.group(1)) // cluster)


def clusters_under_fat_area(image, last_lcn):
    """Clusters of unnamed file data at LCN <= last_lcn (FAT cluster 2 and below), which the
    conversion must copy elsewhere."""
    text = subprocess.run(['ntfscluster', '-c', '0-%d' % last_lcn, image], capture_output=True,
                          text=True, errors='replace').stdout
    inodes = sorted({int(m.group(1)) for m in re.finditer(r'^Inode (\d+) .*/\$DATA$', text, re.M)})
    moved = 0
    for inode in inodes:
        if inode < 16:
            continue
        lines = run(['istat', '-f', 'ntfs', image, str(inode)]).splitlines()
        taking = False
        for line in lines:
            if line.startswith('Type: '):
                taking = line.startswith('Type: $DATA (128-') and 'Name: N/A' in line
                continue
            if taking and re.fullmatch(r'[0-9 ]+', line):
                moved += sum(1 for c in line.split() if 0 < int(c) <= last_lcn)
    return moved


def copy_bound(image, total_bytes, scratch):
    drop_caches()
    with Mount(image, ro=True) as root:
        t0 = time.monotonic()
        for dirpath, _, filenames in os.walk(root):
            for n in filenames:
                with open(os.path.join(dirpath, n), 'rb', buffering=0) as f:
                    while f.read(MiB):
                        pass
        read_s = time.monotonic() - t0
    target = os.path.join(scratch, 'copy-bound.bin')
    t0 = time.monotonic()
    run(['dd', 'if=/dev/zero', 'of=' + target, 'bs=1M', 'count=%d' % total_bytes,
         'iflag=count_bytes', 'conv=fsync'])
    write_s = time.monotonic() - t0
    os.remove(target)
    return read_s, write_s


def bench(variant):
    size, cluster = VOLUMES[variant]
    image, facts = source_image(variant)
    scratch = tempfile.mkdtemp(prefix='velundra-bench-', dir=cache)
    try:
        copy = os.path.join(scratch, 'volume.img')
        log = os.path.join(scratch, 'convert.log')
        run(['cp', '--sparse=always', image, copy])
        os.sync()
        drop_caches()
        cmd = [convert, '--yes', '--quiet', '--log', log, copy]
        say('\n== %s volume, %d-byte clusters: %d files, %d directories, %s of file data'
            % (size, cluster, facts['files'], facts['dirs'], mib(facts['bytes'])))
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
        read_b = written_b = None
        if figures:
            read_b, written_b = figures['read'], figures['written']
            if figures['path'] != 'same-cluster':
                say('note: the converter took the %s path' % figures['path'])
        else:
            say('note: the summary line does not have the expected form; no I/O figures')
        clean, fsck_lines = fsck_verdict(copy)
        say('fsck.fat -n: %s' % ('clean' if clean else 'FINDINGS:\n  ' + '\n  '.join(fsck_lines[:20])))

        # Least I/O.
        bs = boot_sector(copy)
        spc512 = cluster // 512
        fat_bytes = bs['nfats'] * bs['fatsz'] * bs['bps']
        first_data = bs['reserved'] + bs['nfats'] * bs['fatsz']
        dir_clusters = directory_clusters(copy, cluster)
        moved = clusters_under_fat_area(image, first_data // spc512)
        logged = [l for l in open(log, errors='replace') if re.search(r'reloc|move|copy', l, re.I)] \
            if os.path.exists(log) else []
        least_w = fat_bytes + (dir_clusters + facts['resident_clusters'] + moved) * cluster + 4 * 512
        items = facts['files'] + facts['dirs']
        least_r = (items + 1) * ntfs_record_bytes(image, cluster) + moved * cluster
        read_s, write_s = copy_bound(image, facts['bytes'], scratch)
        bound = read_s + write_s

        rss = rss_kib * 1024
        budget = items * 2560 + fat_bytes
        say('wall time:          %.2f s (then %.2f s to flush the image)' % (wall, flush_s))
        if read_b is not None:
            say('bytes read:         %s' % mib(read_b))
            say('bytes written:      %s' % mib(written_b))
        say('least written:      %s = FATs %s + %d directory + %d resident-data + %d relocated '
            'clusters + 4 boot/FSInfo sectors'
            % (mib(least_w), mib(fat_bytes), dir_clusters, facts['resident_clusters'], moved))
        say('least read:         %s = %d file records + relocated data (index blocks not counted)'
            % (mib(least_r), items + 1))
        if read_b is not None:
            say('written / least:    %.3f (the summary gives MiB to 2 decimals)' % (written_b / least_w))
            say('read / least read:  %.3f' % (read_b / least_r))
        say('relocated clusters: %d, from the NTFS runs under the new FAT area (%s)'
            % (moved, 'the log mentions moves: ' + logged[0].strip() if logged
               else 'the converter\'s log does not list them'))
        say('copy bound:         %.2f s = read every file %.2f s + write %s once %.2f s'
            % (bound, read_s, mib(facts['bytes']), write_s))
        say('time / copy bound:  %.3f' % (wall / bound if bound > 0 else float('nan')))
        if bound > 0:
            ratios.append((wall, bound))
        say('peak RSS:           %s, %.0f bytes per file or directory (%d)'
            % (mib(rss), rss / items, items))
        say('memory budget:      %s = 2.5 KiB x %d + FAT %s: %s'
            % (mib(budget), items, mib(fat_bytes), 'within' if rss <= budget else 'OVER'))
        return clean
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def bench_card():
    """The whole conversion of a 256 MiB card, as a user runs it."""
    fixtures = os.environ.get('VELUNDRA_FIXTURE_CACHE') or os.path.join(build, 'fixture-cache')
    os.makedirs(fixtures, exist_ok=True)
    image = run(['python3', os.environ['BENCH_FIXTURES'], 'cached', 'small-256m', fixtures]).strip()
    scratch = tempfile.mkdtemp(prefix='velundra-bench-', dir=cache)
    try:
        copy = os.path.join(scratch, 'card.img')
        run(['cp', '--sparse=always', image, copy])
        os.sync()
        drop_caches()
        cmd = [convert, '--yes', '--quiet', copy]
        say('\n== 256 MiB card (small-256m)')
        say('command: ' + ' '.join(cmd))
        wall, rss_kib, out, err, code = measure(cmd)
        if code != 0:
            say('velundra-convert exited %d\nstdout: %s\nstderr: %s' % (code, out[-2000:], err[-2000:]))
            return False
        summary, _ = parse_summary(out)
        clean, fsck_lines = fsck_verdict(copy)
        say('summary: ' + summary)
        say('fsck.fat -n: %s' % ('clean' if clean else 'FINDINGS:\n  ' + '\n  '.join(fsck_lines[:20])))
        say('card conversion:    %.3f s wall, peak RSS %s' % (wall, mib(rss_kib * 1024)))
        return clean
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


say('bench/convert.sh %s  (variants: %s; cache %s; page cache %s)'
    % (build, ' '.join(variants), cache, 'dropped' if drop else 'warm'))
ok = True
for v in variants:
    if v == 'card':
        ok = bench_card() and ok
        continue
    if v not in VOLUMES:
        sys.exit('unknown variant %s (have: %s card)' % (v, ' '.join(VOLUMES)))
    ratios.clear()
    for _ in range(repeat):
        ok = bench(v) and ok
    if len(ratios) > 1:
        ordered = sorted(w / b for w, b in ratios)
        say('\n%s volume, %d runs: time / copy bound %s; median %.3f (wall %s s, bound %s s)'
            % (VOLUMES[v][0], len(ratios), ' '.join('%.3f' % (w / b) for w, b in ratios),
               ordered[len(ordered) // 2], ' '.join('%.2f' % w for w, _ in ratios),
               ' '.join('%.2f' % b for _, b in ratios)))
sys.exit(0 if ok else 1)
PYTHON
)" "$@"
