#!/usr/bin/env python3
"""Batch conversion benchmark: Imbrix against the tools people would use instead.

Builds a batch from real photos, then converts it in one run with imbrix-cli,
ImageMagick, GraphicsMagick and libvips (and cwebp as the WEBP codec floor),
each using both cores (peers run two processes at once), for three cases:

  1. JPEG to WEBP quality 80
  2. JPEG to PNG
  3. PNG to JPEG quality 90

For every tool and case it prints wall seconds, CPU seconds (user + system, all
processes), bytes written and peak memory (largest resident set of one
process), and each peer's figures as ratios to Imbrix's: a time ratio above 1
means the peer is slower. On a busy machine the CPU ratio is the steadier one.

Usage: bench/bench.py [--cli PATH] [--repeat N] [--jobs N] [--case webp|png|jpeg ...]
                      [PHOTO.jpg ...]
Without photos it uses ../shared/corpus/photos/camera beside the project.
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
DEFAULT_PHOTOS = ROOT.parent / "shared" / "corpus" / "photos" / "camera"


def run_parallel(commands, jobs):
    """Runs argument vectors, `jobs` at a time, no shell.

    Returns (wall seconds, peak RSS bytes of one process, CPU seconds of all)."""
    pending = list(commands)
    running = {}
    peak = 0
    cpu = 0.0
    start = time.perf_counter()
    while pending or running:
        while pending and len(running) < jobs:
            argv = pending.pop(0)
            proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            running[proc.pid] = (proc, argv)
        pid, status, usage = os.wait4(-1, 0)
        if pid not in running:
            continue
        proc, argv = running.pop(pid)
        peak = max(peak, usage.ru_maxrss * 1024)
        cpu += usage.ru_utime + usage.ru_stime
        code = os.waitstatus_to_exitcode(status)
        proc.returncode = code
        err = proc.stderr.read().decode(errors="replace") if proc.stderr else ""
        if proc.stderr:
            proc.stderr.close()
        if code != 0:
            raise RuntimeError(f"{argv[0]} failed ({code}): {err.strip()[-400:]}")
    return time.perf_counter() - start, peak, cpu


def folder_bytes(folder):
    return sum(p.stat().st_size for p in Path(folder).iterdir() if p.is_file())


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def tool(*names):
    """The first of `names` found on PATH: the tool's own program, not a wrapper of it."""
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    sys.exit(f"none of {', '.join(names)} found: install the peers (scripts/install-deps.sh)")


def peers_for(case, sources, out, jobs):
    """Per-tool argument vectors for one case. Each value: (commands, parallel jobs)."""
    fmt, quality = case["format"], case.get("quality")
    ext = fmt.lower()
    tools = {}

    def per_file(make):
        return [make(src, os.path.join(out, Path(src).stem + "." + ext)) for src in sources]

    q = ["-quality", str(quality)] if quality else []
    im = tool("convert-im6.q16", "magick", "convert")
    gm = tool("gm")
    vips = tool("vips")
    tools["ImageMagick"] = (per_file(lambda s, d: [im, s, *q, d]), jobs)
    tools["GraphicsMagick"] = (per_file(lambda s, d: [gm, "convert", s, *q, d]), jobs)
    if fmt == "WEBP":
        vips_opt = f"[Q={quality}]"
    elif fmt == "JPG":
        vips_opt = f"[Q={quality},optimize_coding]"
    else:
        vips_opt = ""
    tools["libvips"] = (per_file(lambda s, d: [vips, "copy", s, d + vips_opt]), jobs)
    if fmt == "PNG":
        # libvips writes PNG unfiltered by default (fast, much larger); with every
        # filter tried it writes sizes like the others'.
        tools["libvips (all filters)"] = (
            per_file(lambda s, d: [vips, "copy", s, d + "[filter=all]"]), jobs)
    if fmt == "WEBP":
        tools["cwebp (codec floor)"] = (
            per_file(lambda s, d: [tool("cwebp"), "-quiet", "-q", str(quality), s, "-o", d]), jobs)
    return tools


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("photos", nargs="*", help="JPEG photos for the batch")
    ap.add_argument("--cli", default=str(ROOT / "build" / "bin" / "imbrix-cli"))
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--repeat", type=int, default=1, help="runs per tool; the fastest counts")
    ap.add_argument("--copies", type=int, default=1, help="times each photo appears in the batch")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--case", action="append", choices=["webp", "png", "jpeg"],
                    help="run only this case (by output format; may be repeated)")
    args = ap.parse_args()

    photos = [Path(p) for p in args.photos] or sorted(DEFAULT_PHOTOS.glob("*.jpg"))
    if not photos:
        sys.exit(f"no photos found in {DEFAULT_PHOTOS}")
    if not Path(args.cli).exists():
        sys.exit(f"{args.cli} not found: build first (scripts/build.sh)")

    work = Path(tempfile.mkdtemp(prefix="imbrix-bench-"))
    try:
        jpg_dir = fresh(work / "jpg")
        png_dir = fresh(work / "png")
        n = 0
        for copy in range(args.copies):
            for p in photos:
                n += 1
                shutil.copy(p, Path(jpg_dir) / f"{n:03d}_{p.stem}.jpg")
        jpgs = sorted(str(p) for p in Path(jpg_dir).iterdir())
        # The PNG sources for case 3, made once, outside the timing.
        run_parallel([["vips", "copy", s, str(Path(png_dir) / (Path(s).stem + ".png"))] for s in jpgs],
                     args.jobs)
        pngs = sorted(str(p) for p in Path(png_dir).iterdir())
        megapixels = sum(int(subprocess.run(["vipsheader", "-f", "width", s], capture_output=True,
                                            text=True).stdout) *
                         int(subprocess.run(["vipsheader", "-f", "height", s], capture_output=True,
                                            text=True).stdout) for s in jpgs) / 1e6
        print(f"batch: {len(jpgs)} photos, {megapixels:.1f} megapixels, jobs {args.jobs}\n")

        cases = [
            {"key": "webp", "name": "JPEG to WEBP q80", "sources": jpgs, "format": "WEBP",
             "quality": 80},
            {"key": "png", "name": "JPEG to PNG", "sources": jpgs, "format": "PNG"},
            {"key": "jpeg", "name": "PNG to JPEG q90", "sources": pngs, "format": "JPG",
             "quality": 90},
        ]
        if args.case:
            cases = [c for c in cases if c["key"] in args.case]
        for case in cases:
            out = str(work / "out")
            tools = {}
            cli = [args.cli, "--format", case["format"], "--jobs", str(args.jobs), "--dest", out]
            if case.get("quality"):
                cli += ["--quality", str(case["quality"])]
            tools["Imbrix"] = ([cli + case["sources"]], 1)
            tools.update(peers_for(case, case["sources"], out, args.jobs))
            results = {}
            for name, (commands, jobs) in tools.items():
                best = None
                for _ in range(args.repeat):
                    fresh(out)
                    seconds, peak, cpu = run_parallel(commands, jobs)
                    written = folder_bytes(out)
                    count = sum(1 for p in Path(out).iterdir() if p.is_file())
                    if count != len(case["sources"]):
                        sys.exit(f"{name} wrote {count} files for {len(case['sources'])} sources")
                    if best is None or seconds < best[0]:
                        best = (seconds, written, peak, cpu)
                results[name] = best
            ours = results["Imbrix"]
            print(f"== {case['name']}")
            print(f"{'tool':<22}{'seconds':>9}{'CPU s':>8}{'MB written':>12}{'peak MB':>9}"
                  f"{'time/ours':>11}{'cpu/ours':>10}{'bytes/ours':>12}{'mem/ours':>10}")
            for name, (seconds, written, peak, cpu) in results.items():
                print(f"{name:<22}{seconds:9.2f}{cpu:8.2f}{written / 1e6:12.1f}{peak / 1e6:9.0f}"
                      f"{seconds / ours[0]:11.2f}{cpu / ours[3]:10.2f}{written / ours[1]:12.3f}"
                      f"{peak / ours[2]:10.2f}")
            print(f"(Imbrix peak is one process with {args.jobs} workers: "
                  f"{ours[2] / 1e6 / args.jobs:.0f} MB per worker)\n")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
