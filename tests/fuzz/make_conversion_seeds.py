#!/usr/bin/env python3
"""Builds the seed inputs of the conversion's fuzz target: ntfs-3g volumes large enough for
FAT32 (at least 65,525 clusters), each written as a sparse description of a few tens of KiB.

Usage: make_conversion_seeds.py OUT_DIR

The description (conversion_fuzz.cpp reads it) is the volume's length in sectors followed by
pieces (first sector, sector count, bytes); everything else reads as zeros. Of a real volume
it keeps what the conversion reads and nothing else, each byte at its own place:
  * the boot sector;
  * records 0, 3 and 5 ($MFT, $Volume, the root) and every record in use from 16 on except
    the $Extend files;
  * the clusters of every non-resident attribute of the root and of those records (data,
    index blocks, index bitmaps, attribute lists);
and of those only the sectors that are not all zeros. The data of the other system files
($LogFile, $UpCase, ...) is left out: the conversion never reads it, and its clusters become
free space on FAT32.

Three seeds repeat others with the header's top bits asking for the larger-cluster path
(FAT32 clusters 2 or 4 times the NTFS cluster), which the driver takes only on volumes far
larger than a fuzz input.

Two more seeds take the compacted volumes of the reader's seeds (make_ntfs_seeds.py) and
lay them at the start of a 40 MiB volume: their records and data lie under the future FAT
area, so everything must be relocated.
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'fixtures'))
sys.path.insert(0, HERE)
import make_ntfs  # noqa: E402
import make_ntfs_seeds as reader_seeds  # noqa: E402

SECTOR = 512
MAX_PIECE = 0xFFFF      # sectors per piece (a 16-bit count)
MAX_OUTPUT = 96 * 1024  # a seed larger than this is a recipe mistake
EXTEND_RECORD = 11


def describe(sectors, pieces):
    """The fuzz input for a volume of `sectors` sectors holding pieces {first: bytes}."""
    out = bytearray(struct.pack('<I', sectors))
    for first in sorted(pieces):
        data = pieces[first]
        for at in range(0, len(data), MAX_PIECE * SECTOR):
            chunk = data[at:at + MAX_PIECE * SECTOR]
            out += struct.pack('<IH', first + at // SECTOR, (len(chunk) + SECTOR - 1) // SECTOR)
            out += chunk
    return bytes(out)


def nonzero_pieces(img, keep):
    """The sectors of `keep` that are not all zeros, joined into pieces {first: bytes}."""
    pieces, start, run = {}, None, bytearray()
    for s in sorted(keep):
        data = img[s * SECTOR:(s + 1) * SECTOR]
        if len(data) < SECTOR or not any(data):
            continue
        if start is not None and s == start + len(run) // SECTOR:
            run += data
            continue
        if start is not None:
            pieces[start] = bytes(run)
        start, run = s, bytearray(data)
    if start is not None:
        pieces[start] = bytes(run)
    return pieces


def sparse_seed(src):
    """The description of the volume image `src` (see the module's text)."""
    with open(src, 'rb') as f:
        img = f.read()
    u16, u32, u64 = reader_seeds.u16, reader_seeds.u32, reader_seeds.u64
    bps, spc = u16(img, 0x0B), img[0x0D]
    if bps != SECTOR:
        raise ValueError('only 512-byte sectors are described')
    cluster = bps * spc
    cpr = struct.unpack_from('<b', img, 0x40)[0]
    rec_size = cluster * cpr if cpr > 0 else 1 << -cpr

    def fixed_up(offset):
        rec = bytearray(img[offset:offset + rec_size])
        if rec[:4] != b'FILE':
            return None
        reader_seeds.unprotect(rec)
        return rec

    rec0 = fixed_up(u64(img, 0x30) * cluster)
    attrs0 = reader_seeds.attributes(rec0)
    if any(t == 0x20 for _, t, _, _, _ in attrs0):
        raise ValueError('an $MFT with an attribute list is not described')
    data0 = next(a for a in attrs0 if a[1] == 0x80 and a[4] == '')
    mft_runs = reader_seeds.decode_runs(rec0, data0[0], data0[2])
    mft_records = u64(rec0, data0[0] + 0x30) // rec_size

    def record_offset(n):
        vcn, within = divmod(n * rec_size, cluster)
        for v, count, lcn in mft_runs:
            if v <= vcn < v + count and lcn is not None:
                return (lcn + vcn - v) * cluster + within
        return None

    keep = {0}
    for n in range(mft_records):
        at = record_offset(n)
        rec = fixed_up(at) if at is not None else None
        if rec is None:
            continue
        if n not in (0, 3, 5):
            if n < 16 or not u16(rec, 0x16) & 1:
                continue
            if any(t == 0x30 and u64(rec, o + u16(rec, o + 0x14)) & 0xFFFFFFFFFFFF == EXTEND_RECORD
                   for o, t, _, _, _ in reader_seeds.attributes(rec)):
                continue
        keep.update(range(at // SECTOR, (at + rec_size) // SECTOR))
        if n < 5:
            continue
        for off, _, length, nonres, _ in reader_seeds.attributes(rec):
            if not nonres:
                continue
            for _, count, lcn in reader_seeds.decode_runs(rec, off, length):
                if lcn is not None:
                    keep.update(range(lcn * spc, (lcn + count) * spc))
    out = describe(len(img) // SECTOR, nonzero_pieces(img, keep))
    if len(out) > MAX_OUTPUT:
        raise ValueError('%s is described in %d bytes' % (src, len(out)))
    return out


# --- the seed volumes -------------------------------------------------------------------

def seed_basic(fx):
    """The everyday mix: resident and non-resident files, an empty file and folder, a named
    stream, a Win32 + DOS pair and a single 8.3 name, Unicode beyond the BMP, a hidden file,
    nested folders, hard links of a non-resident and of a resident file."""
    fx.mount()
    fx.write('resident.txt', b'small and resident\n')
    fx.write('nonresident.bin', fx.data(3 * fx.cluster + 100))
    fx.write('empty')
    fx.mkdir('empty folder')
    fx.write('streams.txt', b'main')
    fx.write('streams.txt:side', b'a named stream')
    fx.write('Long File Name.txt', b'pair')
    fx.set_dos_name('Long File Name.txt', 'LONGFI~1.TXT')
    fx.write('README.TXT', b'8.3')
    fx.set_dos_name('README.TXT', 'README.TXT')
    fx.write('hidden.txt', b'h')
    fx.set_attrib('hidden.txt', 0x2)
    fx.write('sub dir/\u00e9t\u00e9 \U0001F600.txt', b'unicode')
    fx.write('sub dir/deeper/last', fx.data(700))
    fx.write('pair.bin', fx.data(2000))
    os.link(fx.path('pair.bin'), fx.path('sub dir/pair again.bin'))
    os.link(fx.path('pair.bin'), fx.path('sub dir/deeper/pair third.bin'))
    fx.write('small.txt', b'resident data with two names\n')
    os.link(fx.path('small.txt'), fx.path('sub dir/small again.txt'))
    fx.unmount()


def seed_lowdata(fx):
    """Small files whose data lies under the future FAT area, beside files where data
    usually goes: the in-place conversion relocates them. ntfs-3g fills the MFT zone (the
    low clusters) last: the volume is filled with large files (few records, so that the MFT
    does not take the zone itself), those reaching under the FAT area are deleted, the space
    is filled again with small files, and three small ones found down there are kept."""
    boundary = make_ntfs.fat32_first_staying_lcn(fx.image, fx.cluster)

    def low_ones(records):
        return [r for r in make_ntfs.user_inodes_in_clusters(fx.image, 0, boundary - 1)
                if r in records]

    fx.mount()
    big = {fx.record_of('big/' + n): n for n in fx.fill_volume('big', 1 << 20)}
    fx.unmount()
    low_big = low_ones(big)  # ntfscluster refuses a mounted volume
    fx.mount()
    for r in low_big:
        os.remove(fx.path('big/' + big[r]))
    small = {fx.record_of('fill/' + n): n for n in fx.fill_volume('fill', 4096)}
    fx.unmount()
    low = low_ones(small)
    make_ntfs.expect(len(low) >= 3, 'three small files lie below LCN %d' % boundary)
    fx.mount()
    for i, r in enumerate(low[:3]):
        os.rename(fx.path('fill/' + small[r]), fx.path('low %d.bin' % i))
    for d in ('big', 'fill'):
        for n in os.listdir(fx.path(d)):
            os.remove(fx.path(d + '/' + n))
        os.rmdir(fx.path(d))
    fx.write('above/high.bin', fx.data(3000))
    fx.write('above/note.txt', b'resident\n')
    fx.unmount()


def seed_sizes(fx):
    """4096-byte clusters: a file whose clusters outrun its data size, one whose initialized
    size lies below its data size (with a second name), one that owns clusters at size 0."""
    fx.mount()
    fx.write('prealloc.bin', fx.data(3 * 4096))
    fx.write('zero but owns.bin', fx.data(4096))
    fx.write('uninit.bin', fx.data(2 * 4096 - 200))
    fx.mkdir('links')
    os.link(fx.path('uninit.bin'), fx.path('links/uninit again.bin'))
    fx.write('plain.txt', fx.data(1000))
    recs = {n: fx.record_of(n) for n in ('prealloc.bin', 'zero but owns.bin', 'uninit.bin')}
    fx.unmount()
    make_ntfs.patch_data_sizes(fx.image, recs['prealloc.bin'], data_size=5000, initialized_size=5000)
    make_ntfs.patch_data_sizes(fx.image, recs['zero but owns.bin'], data_size=0, initialized_size=0)
    make_ntfs.patch_data_sizes(fx.image, recs['uninit.bin'], initialized_size=3000)


def seed_index(fx):
    """Folders whose long names fill several index blocks, in the root and below."""
    fx.mount()
    fx.touch_many('many', ['%03d %s.txt' % (i, 'n' * 70) for i in range(24)])
    fx.touch_many('', ['root %02d %s' % (i, 'r' * 60) for i in range(6)])
    fx.unmount()


def seed_attrlist(fx):
    """A file with 14 long hard-link names, which spill into an attribute list."""
    fx.mount()
    fx.write('target', fx.data(2000))
    fx.mkdir('more')
    for i in range(14):
        where = 'more/' if i % 2 else ''
        os.link(fx.path('target'), fx.path('%slink %02d %s' % (where, i, 'x' * 180)))
    fx.unmount()


SEEDS = [
    ('basic', '40M', 512, 'SEED', seed_basic),
    ('lowdata', '40M', 512, 'LOWDATA', seed_lowdata),
    ('sizes-4k', '260M', 4096, 'SIZES', seed_sizes),
    ('index', '40M', 512, None, seed_index),
    ('attrlist', '40M', 512, 'LINKS', seed_attrlist),
]

# Seeds repeated for the larger-cluster path: (seed, k), clusters 2^k times the NTFS one.
GROWN = [('basic', 1), ('lowdata', 2), ('sizes-4k', 1)]

# Reader seeds laid at the start of a volume of this many sectors.
COMPACT = [('basic', reader_seeds.seed_basic), ('links', reader_seeds.seed_links)]
COMPACT_SECTORS = 40 * 2048


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    work = os.path.join(argv[1], '.work.img')
    try:
        for name, size, cluster, label, fn in SEEDS:
            make_ntfs.RECIPES['conv-seed-' + name] = dict(
                fn=fn, size=size, cluster=cluster, label=label, sector=512, zone=None, doc='')
            make_ntfs.build('conv-seed-' + name, work)
            out = sparse_seed(work)
            with open(os.path.join(argv[1], 'seed-' + name), 'wb') as f:
                f.write(out)
            print('seed-%s: %d bytes' % (name, len(out)))
        for name, k in GROWN:
            with open(os.path.join(argv[1], 'seed-' + name), 'rb') as f:
                data = bytearray(f.read())
            struct.pack_into('<I', data, 0, struct.unpack_from('<I', data, 0)[0] | k << 28)
            with open(os.path.join(argv[1], 'seed-%s-x%d' % (name, 1 << k)), 'wb') as f:
                f.write(data)
            print('seed-%s-x%d: %d bytes' % (name, 1 << k, len(data)))
        for name, fn in COMPACT:
            make_ntfs.RECIPES['conv-compact-' + name] = dict(
                fn=lambda fx, fn=fn: (fx.mount(), fn(fx), fx.unmount()),
                size='3M', cluster=512, label='SEED', sector=512, zone=None, doc='')
            make_ntfs.build('conv-compact-' + name, work)
            compacted = work + '.compact'
            reader_seeds.compact(work, compacted)
            with open(compacted, 'rb') as f:
                data = f.read()
            os.remove(compacted)
            out = describe(COMPACT_SECTORS, {0: data})
            with open(os.path.join(argv[1], 'seed-compact-' + name), 'wb') as f:
                f.write(out)
            print('seed-compact-%s: %d bytes' % (name, len(out)))
    finally:
        if os.path.exists(work):
            os.remove(work)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
