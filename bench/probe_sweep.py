#!/usr/bin/env python3
"""Runs the probe over every source file of the corpus and checks it against
ImageMagick's identify: no honest file may be refused, and where both answer
they must agree on the picture's size (a GIF's screen, an ICO's largest image,
a TIFF's first page) and on the number of frames of an animation.

Usage: bench/probe_sweep.py [build folder] [corpus folder]
Prints the disagreements and a summary; exits 1 when an honest file (one that
identify reads without an error) was refused or read at another size."""
import os
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build")
corpus = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "..", "shared", "corpus")
EXTENSIONS = (".png .jpg .jpeg .jfif .gif .bmp .ico .tif .tiff .webp .wmp .psd .tga .jxl "
              ".heic .avif .jp2 .j2k .jpx .svg").split()

subprocess.run(["cmake", "--build", build, "--target", "imbrix_probe_sweep"], check=True,
               stdout=subprocess.DEVNULL)
files = sorted(os.path.join(d, f) for d, _, names in os.walk(corpus) for f in names
               if os.path.splitext(f)[1].lower() in EXTENSIONS)
out = subprocess.run([os.path.join(build, "bin", "imbrix_probe_sweep")] + files,
                     check=True, capture_output=True, text=True).stdout
probed = {}
for line in out.splitlines():
    fields = line.split("\t")
    probed[fields[0]] = fields[1:]


def identify(path):
    """(sizes of each image as (w, h, page w, page h), identify failed)"""
    ext = os.path.splitext(path)[1].lower()
    if ext in (".jxl", ".wmp", ".heic", ".avif", ".svg"):
        return None, False  # read by other tools; compared by the unit tests
    try:
        p = subprocess.run(["identify", "-format", "%w %h %W %H\n", path], capture_output=True,
                           text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return None, True
    sizes = []
    for line in p.stdout.splitlines():
        try:
            sizes.append(tuple(int(v) for v in line.split()))
        except ValueError:
            pass
    return sizes, p.returncode != 0 or "error" in p.stderr.lower()


bad = 0
counts = {"agree": 0, "refused (identify fails too)": 0, "none": 0, "not compared": 0}
for path in files:
    answer = probed.get(path, ["missing"])
    sizes, failed = identify(path)
    if answer[0] == "refused":
        if failed or not sizes:
            counts["refused (identify fails too)"] += 1
        else:
            print("REFUSED an honest file:", path, answer[1])
            bad += 1
        continue
    if answer[0] == "none":
        counts["none"] += 1
        continue
    if not sizes or failed:
        counts["not compared"] += 1
        continue
    w, h, frames = int(answer[0]), int(answer[1]), int(answer[2])
    ext = os.path.splitext(path)[1].lower()
    if ext == ".gif":
        expected = {(sizes[0][2], sizes[0][3])}
        if len(sizes) != frames:
            print(f"FRAMES {path}: probe {frames}, identify {len(sizes)}")
            bad += 1
            continue
    elif ext == ".ico":
        largest = max(sizes, key=lambda s: s[0] * s[1])
        expected = {(largest[0], largest[1])}
    elif ext == ".webp" and frames > 1:
        expected = {(sizes[0][2], sizes[0][3])}
    else:
        expected = {(sizes[0][0], sizes[0][1])}
    if (w, h) in expected:
        counts["agree"] += 1
    else:
        print(f"SIZE {path}: probe {w}x{h}, identify {sorted(expected)}")
        bad += 1
print(f"{len(files)} files:", ", ".join(f"{v} {k}" for k, v in counts.items()),
      f", {bad} disagreements")
sys.exit(1 if bad else 0)
