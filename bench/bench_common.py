"""Pieces shared by the conversion benchmarks (bench/convert.sh, bench/changedcluster.sh):
ntfs-3g mounts, running and measuring commands, the converter's summary line, the FAT32 boot
sector, fsck.fat's verdict and a cache of source images keyed by the scripts that build them.

The benchmarks are bash scripts that run Python; they put this directory on sys.path and
import from here.
"""

import hashlib
import os
import re
import struct
import subprocess
import tempfile
import time

MiB = 1 << 20


def say(*a):
    print(*a, flush=True)


def mib(n):
    return '%.1f MiB' % (n / MiB)


def run(cmd, **kw):
    """Runs cmd to its end (failing on a non-zero exit); returns its standard output."""
    return subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors='replace', **kw).stdout


class Mount:
    """An ntfs-3g mount in the foreground, so that after the unmount we can wait for it to
    have written everything."""
    def __init__(self, image, ro=False):
        self.image, self.ro = image, ro

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix='velundra-bench-mnt-')
        opts = 'no_detach' + (',ro' if self.ro else '')
        self.proc = subprocess.Popen(['ntfs-3g', '-o', opts, self.image, self.dir],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.ismount(self.dir):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError('ntfs-3g could not mount ' + self.image)
            time.sleep(0.02)
        return self.dir

    def __exit__(self, *exc):
        for _ in range(100):
            if subprocess.run(['umount', self.dir], capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        self.proc.wait(timeout=300)
        os.rmdir(self.dir)


def drop_caches(enabled):
    """Drops the page cache when enabled (it affects the whole machine)."""
    if enabled:
        os.sync()
        with open('/proc/sys/vm/drop_caches', 'w') as f:
            f.write('3\n')


def measure(cmd):
    """Runs cmd; returns (wall seconds, peak RSS in KiB, stdout, stderr, exit status)."""
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    out.seek(0)
    err.seek(0)
    return (wall, usage.ru_maxrss, out.read().decode(errors='replace'),
            err.read().decode(errors='replace'), proc.returncode)


SUMMARY = re.compile(r'Converted: (.*?) path, cluster (\d+) -> (\d+) bytes, (\d+) files, '
                     r'(\d+) directories, ([\d.]+) MiB read, ([\d.]+) MiB written, ([\d.]+) s')


def parse_summary(out):
    """The last line velundra-convert printed and what it says: (line, dict or None). The
    dict has path, ntfs_cluster, fat_cluster, files, dirs, read and written (bytes; the line
    gives MiB to two decimals) and seconds."""
    line = out.strip().splitlines()[-1] if out.strip() else ''
    m = SUMMARY.search(line)
    if not m:
        return line, None
    return line, dict(path=m.group(1), ntfs_cluster=int(m.group(2)), fat_cluster=int(m.group(3)),
                      files=int(m.group(4)), dirs=int(m.group(5)),
                      read=float(m.group(6)) * MiB, written=float(m.group(7)) * MiB,
                      seconds=float(m.group(8)))


def boot_sector(image):
    """The fields of a FAT32 boot sector the benchmarks need."""
    with open(image, 'rb') as f:
        b = f.read(512)
    bps, spc, reserved, nfats = struct.unpack_from('<HBHB', b, 0x0B)
    total, fatsz = struct.unpack_from('<II', b, 0x20)
    return dict(bps=bps, spc=spc, reserved=reserved, nfats=nfats, fatsz=fatsz, total=total,
                fstype=b[0x52:0x5A].decode(errors='replace'))


def fsck_verdict(image):
    """(clean, lines): fsck.fat -n exits 0 and prints only its banner and summary."""
    fsck = subprocess.run(['fsck.fat', '-n', image], capture_output=True, text=True,
                          errors='replace')
    lines = [l for l in (fsck.stdout + fsck.stderr).splitlines() if l.strip()]
    return fsck.returncode == 0 and len(lines) == 2, lines


def scripts_key(*paths):
    """A short hash of the files that build a cached image: editing any of them rebuilds."""
    h = hashlib.sha256()
    for p in paths:
        with open(p, 'rb') as f:
            h.update(f.read())
    return h.hexdigest()[:12]
