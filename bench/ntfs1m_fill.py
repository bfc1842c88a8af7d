#!/usr/bin/env python3
"""Fills a mounted, empty NTFS volume (ntfs-3g) with about a million files.

40 department folders of 100 project folders each (4,000 leaf folders of 50
to 450 files), names long with DOS names as Windows makes them (NAME~1.EXT,
then the hashed form once ~4 is taken), a few non-ASCII names, sizes mostly
small (over half stay resident in their records), modification times spread
over ten years. After everything is written, every tenth file goes, and 40
whole project folders. Leaf folders are shared out among worker processes:
ntfs-3g answers one request at a time, but the workers keep it busy.

Usage: ntfs1m_fill.py MOUNT WORKERS   (prints the expected counts as JSON)
"""
import json
import os
import random
import sys
import time
import zlib
from multiprocessing import Pool

DEPARTMENTS = ["Finance", "Engineering", "Marketing", "Sales", "Legal", "Human Resources",
               "Operations", "Research", "Support", "Logistics"]
PROJECTS = ["Archive", "Budget", "Campaign", "Contracts", "Design review", "Field tests",
            "Migration", "Onboarding", "Quarterly close", "Release", "Übersicht", "Café rollout"]
WORDS = ["Report", "Invoice", "Minutes", "Draft", "Summary", "Photo", "Scan", "Notes",
         "Presentation", "Résumé", "Schedule", "Backup", "Letter", "Budget", "Naïve model"]
EXTENSIONS = ["txt", "docx", "pdf", "jpg", "xlsx", "log", "csv", "html", "pptx", "json"]
TOPS, SUBS = 40, 100
DOS_ALLOWED = set("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'()-@^_`{}~")
YEAR = 365 * 24 * 3600
NOW = 1767225600  # 2026-01-01


def dos_name(long_name, taken):
    """The short name Windows gives a long name: six characters and ~N,
    then two characters, a hash and ~N once ~1 to ~4 are taken."""
    stem, dot, ext = long_name.rpartition(".")
    if not dot:
        stem, ext = long_name, ""
    clean = lambda s: "".join(c if c in DOS_ALLOWED else "_" for c in s.upper()
                              if c not in " .")
    stem, ext = clean(stem) or "_", clean(ext)[:3]
    tail = "." + ext if ext else ""
    for n in range(1, 5):
        name = f"{stem[:6]}~{n}{tail}"
        if name not in taken:
            taken.add(name)
            return name
    h = zlib.crc32(long_name.encode()) & 0xFFFF
    for n in range(1, 10):
        name = f"{stem[:2]}{h:04X}~{n}{tail}"
        if name not in taken:
            taken.add(name)
            return name
    raise RuntimeError(long_name)


def plan():
    """Deterministic tree: (top, sub, file count, deleted as a folder)."""
    rng = random.Random(1)
    leaves = []
    for t in range(TOPS):
        for s in range(SUBS):
            leaves.append([t, s, rng.randint(50, 450), False])
    # Bring the total to exactly 1,000,000.
    total = sum(x[2] for x in leaves)
    i = 0
    while total != 1_000_000:
        step = 1 if total < 1_000_000 else -1
        if 50 <= leaves[i][2] + step <= 450:
            leaves[i][2] += step
            total += step
        i = (i + 1) % len(leaves)
    for x in rng.sample(leaves, 40):
        x[3] = True
    return leaves


def top_name(t):
    return f"{DEPARTMENTS[t % len(DEPARTMENTS)]} {t // len(DEPARTMENTS) + 1:02d}"


def sub_name(t, s):
    return f"{PROJECTS[(t * 7 + s) % len(PROJECTS)]} {2016 + s % 10} no {s:03d}"


def file_name(rng, k):
    name = f"{rng.choice(WORDS)} {rng.choice(WORDS).lower()} {k:05d}"
    r = rng.random()
    if r < 0.1:
        name += " (copy)"
    elif r < 0.2:
        name += " - final"
    return f"{name}.{rng.choice(EXTENSIONS)}"


def file_size(rng):
    r = rng.random()
    if r < 0.55:
        return rng.randint(0, 480)       # resident in its record
    if r < 0.95:
        return rng.randint(481, 8000)
    return rng.randint(8001, 40000)


def fill_leaf(args):
    top, leaf, short = args
    t, s, count, _ = leaf
    rng = random.Random(t * 1000 + s)
    data = random.Random(7).randbytes(65536)
    folder = os.path.join(top, top_name(t), sub_name(t, s))
    os.mkdir(folder)
    os.setxattr(folder, "system.ntfs_dos_name", short.encode())
    taken = set()
    names = []
    for k in range(count):
        name = file_name(rng, k)
        names.append(name)
        size = file_size(rng)
        fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        off = rng.randrange(0, 65536 - 40000)
        remaining = size
        while remaining:
            chunk = min(remaining, 40000)
            os.write(fd, data[off:off + chunk])
            remaining -= chunk
        os.setxattr(fd, "system.ntfs_dos_name", dos_name(name, taken).encode())
        mtime = NOW - rng.randrange(0, 10 * YEAR)
        os.utime(fd, (mtime + rng.randrange(0, YEAR // 12), mtime))
        os.close(fd)
    return folder, names


def delete_leaf(args):
    leaf, folder, names = args
    if leaf[3]:
        for name in names:
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)
        return len(names)
    gone = names[3::10]
    for name in gone:
        os.unlink(os.path.join(folder, name))
    return len(gone)


def main():
    top, workers = sys.argv[1], int(sys.argv[2])
    leaves = plan()
    taken = set()
    for t in range(TOPS):
        p = os.path.join(top, top_name(t))
        os.mkdir(p)
        os.setxattr(p, "system.ntfs_dos_name", dos_name(top_name(t), taken).encode())
    # Short names of a department's folders, given in creation order.
    taken = [set() for _ in range(TOPS)]
    short = {(t, s): dos_name(sub_name(t, s), taken[t]) for t, s, _, _ in leaves}
    start = time.time()
    done = []
    with Pool(workers) as pool:
        # Spread the departments over the workers so they write in different folders.
        order = sorted(leaves, key=lambda x: (x[1], x[0]))
        for i, (folder, names) in enumerate(
                pool.imap(fill_leaf, [(top, x, short[x[0], x[1]]) for x in order], chunksize=4)):
            done.append((order[i], folder, names))
            if i % 200 == 199:
                n = sum(len(x[2]) for x in done)
                print(f"{time.strftime('%H:%M:%S')} {i + 1} folders, {n} files, "
                      f"{n / (time.time() - start):.0f} files/s", file=sys.stderr, flush=True)
        deleted = sum(pool.imap_unordered(delete_leaf, done, chunksize=16))
    print(f"{time.strftime('%H:%M:%S')} {deleted} deleted", file=sys.stderr, flush=True)
    json.dump({"files": sum(x[2] for x in leaves), "deleted": deleted,
               "deleted_folders": sum(1 for x in leaves if x[3]),
               "folders": TOPS + len(leaves)}, sys.stdout)
    print()


if __name__ == "__main__":
    main()
