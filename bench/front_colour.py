#!/ usr / bin / env python3
"""Converter front benchmark: the cost of colour management per output format.

Converts one camera photo with the converter front (<build>/bin/imagemagick/magick)
into each of its ten -quality formats, twice: as it is (sRGB, no profile: the
common case, where the front must cost no more than before) and with a ProPhoto
profile assigned (the converted case). With --base it times a second front (an
older build) beside it, for before/after figures.

For every front, case and format it prints the best of N wall seconds and the CPU
seconds (user + system of the front and its helpers) of that run. On a busy
machine the CPU figure is the steadier one.

Usage: bench/front_colour.py [--front PATH] [--base PATH] [--repeat N] [PHOTO.jpg]
Without a photo it uses kde_FallenLeaf.jpg of ../shared/corpus/photos/camera.
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_PHOTO = ROOT.parent / "shared" / "corpus" / "photos" / "camera" / "kde_FallenLeaf.jpg"
PROPHOTO = "/usr/share/color/icc/colord/ProPhotoRGB.icc"
FORMATS = ["avif", "jxl", "psd", "svg", "tga", "jp2", "pdf", "bmp", "gif", "ico"]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def time_once(front, source, out):
    if os.path.exists(out):
        os.remove(out)
    # The fronts' work folders go into a folder of this run's own, apart from
    # those of other runs.
    env = dict(os.environ, TMPDIR=os.path.dirname(out))
    cpu = children_cpu()
    start = time.perf_counter()
    result = subprocess.run([front, source, "-auto-orient", "-quality", "85", out],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{front} failed on {source} -> {out}")
    return wall, children_cpu() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--front", default=str(ROOT / "build" / "bin" / "imagemagick" / "magick"))
    parser.add_argument("--base", help="a second front to compare with")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("photo", nargs="?", default=str(DEFAULT_PHOTO))
    args = parser.parse_args()

    fronts = [("new", args.front)] + ([("base", args.base)] if args.base else [])
    with tempfile.TemporaryDirectory() as work:
        prophoto = os.path.join(work, "prophoto.jpg")
        subprocess.run(["convert", args.photo, "+profile", "*", "-profile", PROPHOTO,
                        "-quality", "95", prophoto], check=True, stderr=subprocess.DEVNULL)
        cases = [("srgb", args.photo), ("prophoto", prophoto)]
        print(f"{'case':9} {'format':6} " + " ".join(f"{n + ' wall':>10} {n + ' cpu':>9}"
                                                     for n, _ in fronts))
        for case, source in cases:
            for fmt in FORMATS:
                cells = []
                for _, front in fronts:
                    runs = [time_once(front, source, os.path.join(work, "out." + fmt))
                            for _ in range(args.repeat)]
                    wall, cpu = min(runs)
                    cells.append(f"{wall:10.3f} {cpu:9.3f}")
                print(f"{case:9} {fmt:6} " + " ".join(cells))


if __name__ == "__main__":
    main()
