#!/usr/bin/env python3
"""Builds the seed inputs of the NTFS reader's fuzz target: small ntfs-3g volumes, each
compacted into an image of a few tens of KiB that the reader still reads the same way.

Usage: make_ntfs_seeds.py OUT_DIR

A real volume is mostly empty space and system file data ($LogFile alone is hundreds of
KiB), and the records of the user's files start at record 64, far from the boot sector.
Compacting keeps what the reader walks and nothing else:
  * the boot sector, with the MFT moved to cluster 1;
  * records 0 to 5 (the direct-read area: $MFT, $Volume and the root), then every record in
    use from 16 on except the $Extend files; $MFT's runs are rewritten to map exactly those
    records, unused stretches becoming sparse runs;
  * the clusters of the root's non-resident attributes (index blocks, attribute list; not
    its security descriptor) and of every non-resident attribute of the kept user records
    (data, index blocks, attribute lists), packed after the records, their mapping pairs
    rewritten to the new places.
The data of the other system files is left where it was: its runs point beyond the end of
the compacted image, where reads fail, as on a damaged disk. Records are re-protected with
their update sequence after the rewrite.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fixtures'))
import make_ntfs  # noqa: E402

STRIDE = 512
MAX_OUTPUT = 96 * 1024


def u16(b, o): return struct.unpack_from('<H', b, o)[0]
def u32(b, o): return struct.unpack_from('<I', b, o)[0]
def u64(b, o): return struct.unpack_from('<Q', b, o)[0]


def unprotect(rec):
    usa = u16(rec, 4)
    seq = rec[usa:usa + 2]
    for k in range(len(rec) // STRIDE):
        end = (k + 1) * STRIDE - 2
        if rec[end:end + 2] != seq:
            raise ValueError('update sequence mismatch')
        rec[end:end + 2] = rec[usa + 2 + 2 * k:usa + 4 + 2 * k]


def protect(rec):
    usa = u16(rec, 4)
    seq = rec[usa:usa + 2]
    for k in range(len(rec) // STRIDE):
        end = (k + 1) * STRIDE - 2
        rec[usa + 2 + 2 * k:usa + 4 + 2 * k] = rec[end:end + 2]
        rec[end:end + 2] = seq


def attributes(rec):
    """(offset, type, length, non_resident, name) of each attribute of a fixed-up record."""
    off = u16(rec, 0x14)
    out = []
    while off + 8 <= len(rec):
        t = u32(rec, off)
        if t == 0xFFFFFFFF:
            break
        length = u32(rec, off + 4)
        if length == 0 or off + length > len(rec):
            break
        nlen, noff = rec[off + 9], u16(rec, off + 10)
        name = rec[off + noff:off + noff + 2 * nlen].decode('utf-16-le')
        out.append((off, t, length, rec[off + 8] != 0, name))
        off += length
    return out


def decode_runs(rec, attr_off, attr_len):
    """[(vcn, count, lcn or None)] of a non-resident attribute."""
    pos = attr_off + u16(rec, attr_off + 0x20)
    end = attr_off + attr_len
    vcn, lcn, runs = u64(rec, attr_off + 0x10), 0, []
    while pos < end and rec[pos] != 0:
        h = rec[pos]
        ln, on = h & 15, h >> 4
        count = int.from_bytes(rec[pos + 1:pos + 1 + ln], 'little')
        if on:
            delta = int.from_bytes(rec[pos + 1 + ln:pos + 1 + ln + on], 'little', signed=True)
            lcn += delta
            runs.append((vcn, count, lcn))
        else:
            runs.append((vcn, count, None))
        vcn += count
        pos += 1 + ln + on
    return runs


def encode_runs(runs):
    out, prev = bytearray(), 0
    for _, count, lcn in runs:
        cb = count.to_bytes((count.bit_length() + 8) // 8, 'little')
        if lcn is None:
            out += bytes([len(cb)]) + cb
            continue
        delta = lcn - prev
        n = 1
        while not -(1 << (8 * n - 1)) <= delta < (1 << (8 * n - 1)):
            n += 1
        out += bytes([len(cb) | (n << 4)]) + cb + delta.to_bytes(n, 'little', signed=True)
        prev = lcn
    return bytes(out) + b'\0'


def rewrite_runs(rec, attr_off, attr_len, runs):
    """Replaces an attribute's mapping pairs; the attribute grows (the ones after it move
    up, into the record's free space) when the new pairs need more room. Returns the
    attribute's new length."""
    mp = attr_off + u16(rec, attr_off + 0x20)
    encoded = encode_runs(runs)
    room = attr_off + attr_len - mp
    if len(encoded) > room:
        grow = (len(encoded) - room + 7) // 8 * 8
        in_use = u32(rec, 0x18)
        if in_use + grow > len(rec):
            raise ValueError('rewritten runs do not fit the record')
        tail = rec[attr_off + attr_len:in_use]
        rec[attr_off + attr_len + grow:in_use + grow] = tail
        attr_len += grow
        room += grow
        struct.pack_into('<I', rec, attr_off + 4, attr_len)
        struct.pack_into('<I', rec, 0x18, in_use + grow)
    rec[mp:mp + room] = encoded + bytes(room - len(encoded))
    return attr_len


def compact(src, dst):
    with open(src, 'rb') as f:
        img = f.read()
    boot = bytearray(img[:512])
    bps, spc = u16(boot, 0x0B), boot[0x0D]
    if bps != 512:
        raise ValueError('only 512-byte sectors are compacted')
    cluster = bps * spc
    mft_lcn = u64(boot, 0x30)
    cpr = struct.unpack_from('<b', boot, 0x40)[0]
    rec_size = cluster * cpr if cpr > 0 else 1 << -cpr

    def raw_record_at(offset):
        return bytearray(img[offset:offset + rec_size])

    rec0 = raw_record_at(mft_lcn * cluster)
    unprotect(rec0)
    attrs0 = attributes(rec0)
    if any(t == 0x20 for _, t, _, _, _ in attrs0):
        raise ValueError('an $MFT with an attribute list is not compacted')
    data0 = next(a for a in attrs0 if a[1] == 0x80 and a[4] == '')
    mft_runs = decode_runs(rec0, data0[0], data0[2])
    mft_records = u64(rec0, data0[0] + 0x30) // rec_size

    def record_offset(n):
        vcn, within = divmod(n * rec_size, cluster)
        for v, count, lcn in mft_runs:
            if v <= vcn < v + count:
                return (lcn + vcn - v) * cluster + within
        raise ValueError('record %d is not mapped' % n)

    # 1. The records kept, fixed up.
    records = {}
    for n in range(mft_records):
        rec = raw_record_at(record_offset(n))
        if rec[:4] != b'FILE':
            continue
        in_use = u16(rec, 0x16) & 1
        if n <= 5 or (n >= 16 and in_use):
            unprotect(rec)
            parent_is_extend = any(
                t == 0x30 and u64(rec, o + u16(rec, o + 0x14)) & 0xFFFFFFFFFFFF == 11
                for o, t, _, _, _ in attributes(rec))
            if n >= 16 and parent_is_extend:
                continue
            records[n] = rec

    # 2. New places: cluster 0 the boot sector, then the MFT clusters holding kept records.
    next_lcn = 1
    mft_vcns = sorted({v for n in records
                       for v in range(n * rec_size // cluster, ((n + 1) * rec_size - 1) // cluster + 1)})
    new_vcn_lcn = {}
    for v in mft_vcns:
        new_vcn_lcn[v] = next_lcn
        next_lcn += 1
    total_vcns = mft_runs[-1][0] + mft_runs[-1][1]
    new_mft_runs, v = [], 0
    while v < total_vcns:
        if v in new_vcn_lcn:
            start = v
            while v + 1 < total_vcns and v + 1 in new_vcn_lcn and new_vcn_lcn[v + 1] == new_vcn_lcn[v] + 1:
                v += 1
            new_mft_runs.append((start, v - start + 1, new_vcn_lcn[start]))
        else:
            start = v
            while v + 1 < total_vcns and v + 1 not in new_vcn_lcn:
                v += 1
            new_mft_runs.append((start, v - start + 1, None))
        v += 1
    rewrite_runs(records[0], data0[0], data0[2], new_mft_runs)
    struct.pack_into('<Q', boot, 0x30, new_vcn_lcn[0])

    # 3. Relocate the clusters of the root's index and of every attribute of the user records.
    moved = []  # (new_lcn, bytes)
    for n, rec in sorted(records.items()):
        if n < 5:
            continue
        index = 0
        while index < len(attributes(rec)):
            # Listed afresh each time: a rewrite may have moved the attributes after it.
            off, t, length, nonres, name = attributes(rec)[index]
            index += 1
            if not nonres or (n == 5 and t == 0x50):  # the root's security descriptor stays
                continue
            runs = decode_runs(rec, off, length)
            new_runs = []
            for vcn, count, lcn in runs:
                if lcn is None:
                    new_runs.append((vcn, count, None))
                    continue
                new_runs.append((vcn, count, next_lcn))
                moved.append((next_lcn, img[lcn * cluster:(lcn + count) * cluster]))
                next_lcn += count
            rewrite_runs(rec, off, length, new_runs)

    out = bytearray(next_lcn * cluster)
    out[:512] = boot
    for n, rec in records.items():
        protect(rec)
        vcn, within = divmod(n * rec_size, cluster)
        at = new_vcn_lcn[vcn] * cluster + within
        out[at:at + rec_size] = rec
    for lcn, data in moved:
        out[lcn * cluster:lcn * cluster + len(data)] = data
    if len(out) > MAX_OUTPUT:
        raise ValueError('%s compacts to %d bytes' % (src, len(out)))
    with open(dst, 'wb') as f:
        f.write(out)
    return len(out)


# --- the seed volumes -------------------------------------------------------------------

def seed_basic(fx):
    fx.write('resident.txt', b'small and resident\n')
    fx.write('nonresident.bin', fx.data(3 * fx.cluster + 100))
    fx.write('empty')
    fx.write('streams.txt', b'main')
    fx.write('streams.txt:side', b'a named stream')
    fx.write('Long File Name.txt', b'pair')
    fx.set_dos_name('Long File Name.txt', 'LONGFI~1.TXT')
    fx.write('README.TXT', b'8.3')
    fx.set_dos_name('README.TXT', 'README.TXT')
    fx.write('sub dir/\u00e9t\u00e9 \U0001F600.txt', b'unicode')
    fx.write('sub dir/deeper/last', fx.data(700))


def seed_index(fx):
    # Long names fill index blocks with few records: two blocks below, one for the root.
    fx.touch_many('many', ['%03d %s.txt' % (i, 'n' * 70) for i in range(34)])
    fx.touch_many('', ['root %02d %s' % (i, 'r' * 60) for i in range(10)])


def seed_links(fx):
    fx.write('target', fx.data(2000))
    for i in range(14):
        os.link(fx.path('target'), fx.path('link %02d %s' % (i, 'x' * 180)))
    fx.write_fragmented([('fragments.bin', 3)], hole_clusters=2)


SEEDS = [
    ('basic', '3M', 512, seed_basic),
    ('index', '3M', 512, seed_index),
    ('links', '3M', 512, seed_links),
    ('basic-4k', '8M', 4096, seed_basic),
]


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    work = os.path.join(argv[1], '.work.img')
    for name, size, cluster, fn in SEEDS:
        make_ntfs.RECIPES['seed-' + name] = dict(
            fn=lambda fx, fn=fn: (fx.mount(), fn(fx), fx.unmount()),
            size=size, cluster=cluster, label='SEED', sector=512, zone=None, doc='')
        make_ntfs.build('seed-' + name, work)
        n = compact(work, os.path.join(argv[1], 'seed-' + name))
        print('seed-%s: %d bytes' % (name, n))
    os.remove(work)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
