#!/usr/bin/env python3
"""Scaling of one imbrix-cli worker with the length of its list.

Converts lists of 10, 1,000 and 100,000 small files (PNG pictures of 32 x 32
pixels from the PNG suite, 1,000 to a folder) to WEBP quality 80, in one run
each, as a worker of a split batch runs: paths from a NUL-separated list
(--null --files-from), a JSON line per file (--json, into a file), the tree kept
(--keep-tree --base), both cores (--jobs 2). For each length it prints wall and
CPU time per file (user + system), the peak resident memory of the process, and
the cost per file beyond the first ten ((t(N) - t(10)) / (N - 10)), which leaves
out the start of the process. Flat figures mean the list is read as a stream
and converted in parts: no cost or memory grows with the list.

Every run is checked: the record has one "converted" line per file and the
destination holds every output.

Usage: bench/list_scaling.py [--cli PATH] [--sizes 10,1000,100000] [--repeat N]
                             [--work DIR]
--repeat N takes the best of N runs for lists of up to 1,000 files (one run
for longer ones). --work keeps the sources (and reuses them) in DIR.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PICTURES = [ROOT.parent / "shared" / "corpus" / "pngsuite" / name
            for name in ("basn0g08.png", "basn2c08.png", "basn3p08.png", "basn6a08.png")]
PER_FOLDER = 1000


def make_sources(work, count):
    """count small PNG files under work/src-<count>, and their NUL list."""
    src = work / ("src-%d" % count)
    listing = work / ("list-%d" % count)
    if listing.exists():
        return src, listing
    data = [p.read_bytes() for p in PICTURES]
    paths = []
    for i in range(count):
        folder = src / ("d%03d" % (i // PER_FOLDER))
        if i % PER_FOLDER == 0:
            folder.mkdir(parents=True, exist_ok=True)
        path = folder / ("img %06d.png" % i)
        path.write_bytes(data[i % len(data)])
        paths.append(bytes(path))
    listing.write_bytes(b"".join(p + b"\0" for p in paths))
    return src, listing


def run_once(cli, work, count, src, listing):
    """One conversion of the list: (wall s, CPU s, peak RSS bytes).

    The peak and the CPU time come from GNU time, which starts imbrix-cli from
    its own small process: a child forked from this Python process would count
    Python's memory as its peak (the kernel keeps the peak across exec)."""
    out = work / ("out-%d" % count)
    shutil.rmtree(out, ignore_errors=True)
    record = work / ("record-%d.jsonl" % count)
    usage_file = work / "usage"
    argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", str(usage_file), cli, "--null", "--files-from", str(listing), "--json", "--jobs", "2",
            "--format", "webp", "--quality", "80", "--keep-tree", "--base", str(src),
            "--dest", str(out)]
    with open(record, "wb") as stdout, tempfile.TemporaryFile() as stderr:
        start = time.perf_counter()
        proc = subprocess.run(argv, stdout=stdout, stderr=stderr, check=False)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            stderr.seek(0)
            sys.exit("imbrix-cli failed (%d): %s" % (proc.returncode, stderr.read().decode()[-2000:]))
    converted = record.read_bytes().count(b'"status":"converted"')
    written = sum(len(files) for _, _, files in os.walk(out))
    if converted != count or written != count:
        sys.exit("%d files: %d converted in the record, %d on disk" % (count, converted, written))
    shutil.rmtree(out)
    peak_kb, user, system = usage_file.read_text().split()[-3:]
    return wall, float(user) + float(system), int(peak_kb) * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", default=str(ROOT / "build" / "bin" / "imbrix-cli"))
    parser.add_argument("--sizes", default="10,1000,100000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--work")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="imbrix-scaling-"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        results = {}
        for count in sizes:
            src, listing = make_sources(work, count)
            runs = [run_once(args.cli, work, count, src, listing)
                    for _ in range(args.repeat if count <= 1000 else 1)]
            results[count] = min(runs)
        base = sizes[0]
        print("files      wall s   CPU s   wall ms/file  CPU ms/file  peak RSS MB"
              "  beyond %d: wall ms/file  CPU ms/file" % base)
        for count in sizes:
            wall, cpu, rss = results[count]
            line = "%-9d %7.2f %7.2f %14.3f %12.3f %12.1f" % (
                count, wall, cpu, wall / count * 1e3, cpu / count * 1e3, rss / 2**20)
            if count > base:
                bw, bc, _ = results[base]
                line += "  %24.3f %12.3f" % ((wall - bw) / (count - base) * 1e3,
                                             (cpu - bc) / (count - base) * 1e3)
            print(line)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
