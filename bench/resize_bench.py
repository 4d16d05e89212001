#!/usr/bin/env python3
"""Resize benchmark: Imbrix against libvips' thumbnailer and ImageMagick.

A batch of real photos, resized and written as JPEG quality 85, each tool using
both cores (peers run two processes at once), for two cases:

  1. fit inside 1024 x 1024 (never enlarging)
  2. 50 percent
  3. fit inside 320 x 320

Imbrix runs as `imbrix-cli --resize fit:1024x1024` (or `percent:50`) when the
command line has that option, otherwise through build/bin/imbrix_resize_bench
(cmake --build build --target imbrix_resize_bench): the same decoders, resize
stage and JPEG encoder with one worker per core, without the engine around them.
libvips runs as `vipsthumbnail -s 1024x1024>` (half the files per process; for
the percentage, `-s WxH` with half of the photos' size, a group per size);
ImageMagick as `convert SRC -resize 1024x1024> -quality 85 DST`. A third case,
fit inside 320 x 320, has the JPEG decoders reduce the photos on load (libjpeg's
DCT scaling, by 4 for 2560 x 1600).

Timing: wall seconds and CPU seconds (user + system of every process) of the
best of --repeat runs, and each as a ratio to Imbrix's (above 1: slower than
Imbrix). On a busy machine the CPU ratio is the steadier one.

Quality: a second, untimed run writes PNG, compared with ImageMagick's PSNR to
libvips' Lanczos-3 resize of each whole photo, decoded in full (`vips resize`,
no reduction on load): the mean and the lowest over the batch.

Usage: bench/resize_bench.py [--cli PATH] [--driver PATH] [--repeat N] [--jobs N]
                             [--case fit|half|small ...] [PHOTO.jpg ...]
Without photos it uses ../shared/corpus/photos/camera beside the project.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from bench import DEFAULT_PHOTOS, ROOT, fresh, run_parallel, tool

CASES = {
    "fit": {"name": "fit 1024 x 1024", "cli": "fit:1024x1024", "driver": ["--fit", "1024x1024"],
            "magick": "1024x1024>", "box": 1024},
    "half": {"name": "50 %", "cli": "percent:50", "driver": ["--percent", "50"],
             "magick": "50%", "percent": 50},
    "small": {"name": "fit 320 x 320", "cli": "fit:320x320", "driver": ["--fit", "320x320"],
              "magick": "320x320>", "box": 320},
}


def header(path, field):
    return int(subprocess.run(["vipsheader", "-f", field, path], capture_output=True,
                              text=True).stdout)


def shrink_of(case, width, height):
    """How many times smaller a photo becomes (as imaging::resizeTarget() has it)."""
    if "box" in case:
        return max(1.0, width / case["box"], height / case["box"])
    return 100 / case["percent"]


def target(case, width, height):
    shrink = shrink_of(case, width, height)
    return (max(1, math.floor(width / shrink + 0.5)), max(1, math.floor(height / shrink + 0.5)))


def cli_has_resize(cli):
    result = subprocess.run([cli, "--help"], capture_output=True, text=True)
    return "--resize" in result.stdout


def imbrix_commands(args, case, sources, out, fmt):
    """Imbrix's argument vectors for one case: one process with `jobs` workers."""
    if args.use_cli:
        return [[args.cli, "--format", fmt, "--quality", "85", "--jobs", str(args.jobs), "--dest",
                 out, "--resize", case["cli"], "--", *sources]]
    png = ["--png"] if fmt == "PNG" else []
    return [[args.driver, *case["driver"], "--jobs", str(args.jobs), "--out", out, *png,
             *sources]]


def peer_commands(case, sources, sizes, out, ext, jobs):
    """Per-tool argument vectors for one case."""
    options = "[Q=85]" if ext == "jpg" else ""
    tools = {}
    # vipsthumbnail takes one size for all its files: for a percentage, the
    # photos go by their target size, each group split over the jobs.
    groups = {}
    for src in sources:
        if "box" in case:
            size = f"{case['box']}x{case['box']}>"
        else:
            size = "{}x{}".format(*target(case, *sizes[src]))
        groups.setdefault(size, []).append(src)
    tools["libvips thumbnail"] = [
        [tool("vipsthumbnail"), "-s", size, "-o", f"{out}/%s.{ext}{options}", *chunk]
        for size, group in groups.items() for chunk in (group[i::jobs] for i in range(jobs))
        if chunk]
    im = tool("convert-im6.q16", "magick", "convert")
    quality = ["-quality", "85"] if ext == "jpg" else []
    tools["ImageMagick"] = [[im, src, "-resize", case["magick"], *quality,
                             f"{out}/{Path(src).stem}.{ext}"] for src in sources]
    return tools


def psnr(a, b):
    result = subprocess.run(["compare", "-metric", "PSNR", a, b, "null:"], capture_output=True,
                            text=True)
    text = result.stderr.strip().split()[0] if result.stderr.strip() else ""
    try:
        return float(text)  # "inf" for identical pictures
    except ValueError:
        return None  # sizes differ, or a file is missing


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("photos", nargs="*", help="JPEG photos for the batch")
    ap.add_argument("--cli", default=str(ROOT / "build" / "bin" / "imbrix-cli"))
    ap.add_argument("--driver", default=str(ROOT / "build" / "bin" / "imbrix_resize_bench"))
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--repeat", type=int, default=1, help="runs per tool; the fastest counts")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--case", action="append", choices=list(CASES),
                    help="run only this case (may be repeated)")
    args = ap.parse_args()

    photos = [str(p) for p in args.photos] or sorted(str(p) for p in DEFAULT_PHOTOS.glob("*.jpg"))
    if not photos:
        sys.exit(f"no photos found in {DEFAULT_PHOTOS}")
    args.use_cli = Path(args.cli).exists() and cli_has_resize(args.cli)
    if not args.use_cli and not Path(args.driver).exists():
        sys.exit(f"imbrix-cli has no --resize and {args.driver} is missing: "
                 "cmake --build build --target imbrix_resize_bench")
    imbrix = "Imbrix (imbrix-cli)" if args.use_cli else "Imbrix (resize driver)"

    sizes = {p: (header(p, "width"), header(p, "height")) for p in photos}
    megapixels = sum(w * h for w, h in sizes.values()) / 1e6
    largest = max(sizes.values(), key=lambda s: s[0] * s[1])
    print(f"batch: {len(photos)} photos, {megapixels:.1f} megapixels (largest "
          f"{largest[0]} x {largest[1]}), jobs {args.jobs}\n")

    work = Path(tempfile.mkdtemp(prefix="imbrix-resize-bench-"))
    try:
        for key in args.case or list(CASES):
            case = CASES[key]
            # The reference: libvips' Lanczos-3 of each whole photo, outside the timing.
            ref = fresh(work / "ref")
            run_parallel([[tool("vips"), "resize", p, str(Path(ref) / (Path(p).stem + ".png")),
                           repr(1 / shrink_of(case, *sizes[p]))] for p in photos], args.jobs)
            out = str(work / "out")
            tools = {imbrix: (imbrix_commands(args, case, photos, out, "JPG"), 1)}
            for name, commands in peer_commands(case, photos, sizes, out, "jpg",
                                                args.jobs).items():
                tools[name] = (commands, args.jobs)
            results = {}
            for name, (commands, jobs) in tools.items():
                best = None
                for _ in range(args.repeat):
                    fresh(out)
                    seconds, _, cpu = run_parallel(commands, jobs)
                    count = sum(1 for p in Path(out).iterdir() if p.is_file())
                    if count != len(photos):
                        sys.exit(f"{name} wrote {count} files for {len(photos)} photos")
                    if best is None or seconds < best[0]:
                        best = (seconds, cpu)
                results[name] = best
            # The same again as PNG, untimed, for the quality.
            quality = {}
            for name in tools:
                fresh(out)
                if name == imbrix:
                    run_parallel(imbrix_commands(args, case, photos, out, "PNG"), 1)
                else:
                    run_parallel(peer_commands(case, photos, sizes, out, "png", args.jobs)[name],
                                 args.jobs)
                scores = [psnr(str(Path(out) / (Path(p).stem + ".png")),
                               str(Path(ref) / (Path(p).stem + ".png"))) for p in photos]
                quality[name] = scores
            ours = results[imbrix]
            print(f"== {case['name']}, JPEG quality 85")
            print(f"{'tool':<24}{'seconds':>9}{'CPU s':>8}{'time/ours':>11}{'cpu/ours':>10}"
                  f"{'PSNR mean':>11}{'PSNR min':>10}")
            for name, (seconds, cpu) in results.items():
                scores = quality[name]
                valid = [s for s in scores if s is not None]
                mean = f"{sum(valid) / len(valid):11.2f}" if valid else f"{'n/a':>11}"
                low = f"{min(valid):10.2f}" if valid else f"{'n/a':>10}"
                missing = len(scores) - len(valid)
                note = f"  ({missing} of another size)" if missing else ""
                print(f"{name:<24}{seconds:9.2f}{cpu:8.2f}{seconds / ours[0]:11.2f}"
                      f"{cpu / ours[1]:10.2f}{mean}{low}{note}")
            print()
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
