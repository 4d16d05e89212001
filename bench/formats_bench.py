#!/usr/bin/env python3
"""Output format benchmark: Imbrix against the peer tools, format by format.

For every output format of imbrix-cli (PNG, WEBP, JPEG, TIFF, GIF, BMP, ICO, WMP,
AVIF, PSD, SVG, TGA, JXL, JP2, PDF; JPG, JPEG and JFIF share one encoder, as do
TIF and TIFF) and two source sets, it converts a batch with imbrix-cli and with
every peer that writes the format:

  photos  the largest camera JPEGs of ../shared/corpus/photos/camera (by pixels)
  alpha   PNGs with transparency: the corpus's one of photo size (flower_alpha.png,
          png-misc/hdr) and the photos again with an alpha ramp added by libvips
          (opaque on the left, fully transparent on the right), made once per run
          in the work folder

Tools: Imbrix (`imbrix-cli -f FMT -q 80 -j 2`, one process with two workers;
the formats it hands to its converter front start `magick` and the tools the
front calls); ImageMagick 6 (`convert-im6.q16 SRC -quality 80 DST`),
GraphicsMagick (`gm convert`), libvips (`vips copy SRC DST[Q=80]`, or its
ImageMagick saver `vips magicksave` for BMP, TGA, PSD and ICO), and the format's
reference encoder: cwebp, heif-enc and avifenc, cjxl, opj_compress (reading a
PPM that libvips writes from a JPEG, timed with it), JxrEncApp (reading a TIFF
that libvips writes, timed with it); cjpeg where installed. A tool that is not
installed is listed as skipped. Quality 80 where the format has one; lossless
formats get the tool's defaults. An icon is a picture shrunk to fit 256 x 256:
the peers are asked for that size.

Cores: every peer runs two processes at once (a pool of 2), each with the
threads it starts by default; Imbrix runs one process with --jobs 2.

For every tool it reports:
  s       wall seconds of the batch (best of --repeat)
  MB      bytes written
  PSNR    against the source, over the batch (from the mean squared error of all
          files), the output decoded by a decoder that is not ours (ImageMagick
          for PNG/JPEG/TIFF/GIF/BMP/ICO/TGA/WEBP/PSD, avifdec, djxl,
          opj_decompress, JxrDecApp, librsvg's rsvg-convert for SVG, poppler's
          pdfimages for the PDF's JPEG) and compared by ImageMagick's
          `compare -metric PSNR` (transparency counts: ImageMagick weighs colour
          by opacity). An output without alpha from a source with alpha is
          compared with the source laid on white, on black (colour weighed by
          opacity, the alpha dropped) and with its colour alone, the nearest
          counting. An icon is compared with ImageMagick's resize of the
          source to the icon's size.
  peakMB  the largest resident set of one process (ru_maxrss from os.wait4).
          For imbrix-cli Linux reports the largest of the process itself and
          every descendant it waited for (converter front, the front's tools), so
          the figure is the largest process of the tree, with two workers in it.
  valid   every file decodes, at the source's size (icons: fitted into 256);
          for a lossless format, also not below 30 dB PSNR (another picture,
          e.g. rows in the wrong order, as the independent reader sees it)
  ratio   Imbrix's seconds over the fastest peer's that wrote valid files (below
          1: Imbrix is faster)

Lossy formats (WEBP, JPEG, AVIF, JXL, JP2, WMP, PDF) also get bytes at equal
quality on the photo set: one peer (the reference encoder, or libvips) runs
again untimed at two more qualities, its bytes are interpolated (log-linear in
PSNR) at Imbrix's PSNR and reported as Imbrix's bytes over the peer's ("~": the
point lies outside the peer's three qualities, extrapolated). GIF is not done:
its palette has no quality setting to sweep.

Usage: bench/formats_bench.py [--build DIR] [--formats LIST] [--repeat N]
                              [--photos N] [--sets photos,alpha] [--keep DIR]
                              [--no-equal] [--json FILE]
"""

import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench import DEFAULT_PHOTOS, ROOT

CORPUS = DEFAULT_PHOTOS.parent.parent
REAL_ALPHA = CORPUS / "png-misc" / "hdr" / "flower_alpha.png"
JOBS = 2
QUALITY = 80
ICON_BOX = 256
# Below this PSNR (dB) the output of a lossless format is another picture.
LOSSLESS_FLOOR = 30.0

IM = shutil.which("convert-im6.q16") or shutil.which("magick")
GM = shutil.which("gm")
VIPS = shutil.which("vips")
COMPARE = shutil.which("compare-im6.q16") or shutil.which("compare")


def have(name):
    return shutil.which(name)


# ---------------------------------------------------------------- running


def run_batch(tasks, jobs, env=None):
    """Runs tasks `jobs` at a time, no shell; a task is a chain of argument
    vectors run one after another (an intermediate file, then its encoder).

    Returns seconds, peak RSS bytes of one process, CPU seconds of all, and the
    failures (one line each)."""
    pending = list(tasks)
    running = {}
    peak = 0
    cpu = 0.0
    failures = []

    def launch(chain, index):
        err = tempfile.TemporaryFile()
        proc = subprocess.Popen(chain[index], stdout=subprocess.DEVNULL, stderr=err, env=env)
        running[proc.pid] = (proc, chain, index, err)

    start = time.perf_counter()
    while pending or running:
        while pending and len(running) < jobs:
            launch(pending.pop(0), 0)
        pid, status, usage = os.wait4(-1, 0)
        if pid not in running:
            continue
        proc, chain, index, err = running.pop(pid)
        peak = max(peak, usage.ru_maxrss * 1024)
        cpu += usage.ru_utime + usage.ru_stime
        code = os.waitstatus_to_exitcode(status)
        proc.returncode = code
        if code != 0:
            err.seek(0)
            text = err.read().decode(errors="replace").strip().replace("\n", " ")
            failures.append(f"{Path(chain[index][0]).name} ({code}): {text[-160:]}")
        elif index + 1 < len(chain):
            launch(chain, index + 1)
        err.close()
    return time.perf_counter() - start, peak, cpu, failures


def quiet(argv, stdout_only=False):
    """Runs a helper outside the timing; returns (exit code, stdout + stderr)."""
    result = subprocess.run(argv, capture_output=True, text=True, errors="replace")
    return result.returncode, result.stdout if stdout_only else result.stdout + result.stderr


def first_picture(path):
    path = str(path)
    return path if path.endswith("]") else path + "[0]"


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return Path(folder)


def dims(path):
    code, text = quiet([IM, first_picture(path), "-format", "%w %h\n", "info:"], True)
    if code != 0 or len(text.split()) < 2:
        return None
    w, h = text.split()[:2]
    return int(w), int(h)


def has_alpha(path):
    code, text = quiet([IM, first_picture(path), "-format", "%A", "info:"], True)
    return code == 0 and text.strip().lower() not in ("false", "undefined")


# ---------------------------------------------------------------- formats and tools


# key: imbrix-cli's format name, lossy, the peers' file suffix.
FORMATS = {
    "PNG": {"cli": "PNG", "ext": "png", "lossy": False},
    "WEBP": {"cli": "WEBP", "ext": "webp", "lossy": True},
    "JPEG": {"cli": "JPG", "ext": "jpg", "lossy": True},
    "TIFF": {"cli": "TIF", "ext": "tif", "lossy": False},
    "GIF": {"cli": "GIF", "ext": "gif", "lossy": False},
    "BMP": {"cli": "BMP", "ext": "bmp", "lossy": False},
    "ICO": {"cli": "ICO", "ext": "ico", "lossy": False},
    "WMP": {"cli": "WMP", "ext": "jxr", "lossy": True},
    "AVIF": {"cli": "AVIF", "ext": "avif", "lossy": True},
    "PSD": {"cli": "PSD", "ext": "psd", "lossy": False},
    "SVG": {"cli": "SVG", "ext": "svg", "lossy": False},
    "TGA": {"cli": "TGA", "ext": "tga", "lossy": False},
    "JXL": {"cli": "JXL", "ext": "jxl", "lossy": True},
    "JP2": {"cli": "JP2", "ext": "jp2", "lossy": True},
    "PDF": {"cli": "PDF", "ext": "pdf", "lossy": True},
}

# OpenJPEG has a compression ratio, not a quality: the ratios taken for 60, 80, 90.
OPJ_RATIO = {60: 40, 80: 16, 90: 8}
# The peer swept for bytes at equal quality, per lossy format.
EQUAL_PEER = {"WEBP": "cwebp", "JPEG": "libvips", "AVIF": "heif-enc", "JXL": "cjxl",
              "JP2": "opj_compress", "WMP": "JxrEncApp", "PDF": "GraphicsMagick"}
EQUAL_QUALITIES = (60, 90)


def avif_quantizer(quality):
    # libavif's own mapping of a 0-100 quality to its 0-63 quantizer (1.0 and later).
    return str(((100 - quality) * 63 + 50) // 100)


def peer_tools(fmt, sources, out, scratch, quality=QUALITY):
    """name -> list of tasks (chains of argument vectors), or a string: why skipped."""
    spec = FORMATS[fmt]
    ext = spec["ext"]
    q = str(quality)
    lossy = spec["lossy"] or fmt == "PDF"
    tools = {}

    def dest(src, suffix=ext):
        return str(out / f"{Path(src).stem}.{suffix}")

    def mid(src, suffix):
        return str(scratch / f"{Path(src).stem}.{suffix}")

    each = lambda make: [make(s) for s in sources]  # noqa: E731

    # ImageMagick 6
    if fmt == "ICO":
        tools["ImageMagick"] = each(lambda s: [[IM, s, "-resize", f"{ICON_BOX}x{ICON_BOX}>",
                                                dest(s)]])
    elif fmt == "PDF":
        tools["ImageMagick"] = each(lambda s: [[IM, s, "-compress", "JPEG", "-quality", q,
                                                dest(s)]])
    elif fmt == "JXL":
        tools["ImageMagick"] = "ImageMagick 6 has no JPEG XL writer"
    elif fmt == "WMP":
        tools["ImageMagick"] = "ImageMagick 6 has no JPEG XR writer"
    else:
        qual = ["-quality", q] if lossy else []
        tools["ImageMagick"] = each(lambda s: [[IM, s, *qual, dest(s)]])

    # GraphicsMagick
    gm_writes = {"PNG", "WEBP", "JPEG", "TIFF", "GIF", "BMP", "TGA", "JXL", "PDF"}
    if not GM:
        tools["GraphicsMagick"] = "gm not installed"
    elif fmt not in gm_writes:
        tools["GraphicsMagick"] = f"GraphicsMagick does not write {fmt}"
    elif fmt == "PDF":
        tools["GraphicsMagick"] = each(lambda s: [[GM, "convert", s, "-compress", "JPEG",
                                                   "-quality", q, dest(s)]])
    else:
        qual = ["-quality", q] if lossy else []
        tools["GraphicsMagick"] = each(lambda s: [[GM, "convert", s, *qual, dest(s)]])

    # libvips
    if not VIPS:
        tools["libvips"] = "vips not installed"
    elif fmt in ("PNG", "TIFF", "GIF"):
        tools["libvips"] = each(lambda s: [[VIPS, "copy", s, dest(s)]])
        if fmt == "TIFF":
            # libvips writes TIFF uncompressed by default; Imbrix writes LZW.
            tools["libvips (LZW)"] = each(lambda s: [
                [VIPS, "copy", s, dest(s) + "[compression=lzw,predictor=horizontal]"]])
    elif fmt in ("WEBP", "JXL", "JP2", "AVIF"):
        tools["libvips"] = each(lambda s: [[VIPS, "copy", s, dest(s) + f"[Q={q}]"]])
    elif fmt == "JPEG":
        tools["libvips"] = each(lambda s: [[VIPS, "copy", s, dest(s) + f"[Q={q},optimize_coding]"]])
    elif fmt in ("BMP", "TGA", "PSD"):
        tools["libvips (magicksave)"] = each(
            lambda s: [[VIPS, "magicksave", s, dest(s), "--format", fmt]])
    elif fmt == "ICO":
        tools["libvips (magicksave)"] = each(lambda s: [
            [VIPS, "thumbnail", s, mid(s, "v"), str(ICON_BOX), "--size", "down"],
            [VIPS, "magicksave", mid(s, "v"), dest(s), "--format", "ICO"]])
    else:
        tools["libvips"] = f"libvips does not write {fmt}"

    # The format's reference encoders.
    if fmt == "WEBP":
        tools["cwebp"] = (each(lambda s: [["cwebp", "-quiet", "-q", q, s, "-o", dest(s)]])
                          if have("cwebp") else "cwebp not installed")
    elif fmt == "JPEG":
        tools["cjpeg"] = (each(lambda s: [
            [VIPS, "copy", s, mid(s, "ppm")],
            ["cjpeg", "-quality", q, "-optimize", "-outfile", dest(s), mid(s, "ppm")]])
            if have("cjpeg") else "cjpeg not installed")
    elif fmt == "AVIF":
        tools["heif-enc"] = (each(lambda s: [["heif-enc", "-A", "-q", q, s, "-o", dest(s)]])
                             if have("heif-enc") else "heif-enc not installed")
        quant = avif_quantizer(quality)
        tools["avifenc"] = (each(lambda s: [["avifenc", "-j", "1", "--min", quant, "--max", quant,
                                             "--minalpha", quant, "--maxalpha", quant, s,
                                             dest(s)]])
                            if have("avifenc") else "avifenc not installed")
    elif fmt == "JXL":
        # A JPEG source would otherwise be repacked losslessly, whatever the quality.
        tools["cjxl"] = (each(lambda s: [["cjxl", s, dest(s), "-q", q, "--lossless_jpeg=0",
                                          "--quiet"]])
                         if have("cjxl") else "cjxl not installed")
    elif fmt == "JP2":
        ratio = str(OPJ_RATIO.get(quality, 16))

        def opj(s):
            if s.endswith(".png"):
                return [["opj_compress", "-i", s, "-o", dest(s), "-r", ratio]]
            return [[VIPS, "copy", s, mid(s, "ppm")],
                    ["opj_compress", "-i", mid(s, "ppm"), "-o", dest(s), "-r", ratio]]
        tools["opj_compress"] = each(opj) if have("opj_compress") else "opj_compress not installed"
    elif fmt == "WMP":
        tools["JxrEncApp"] = (each(lambda s: [
            [VIPS, "copy", s, mid(s, "tif")],
            ["JxrEncApp", "-i", mid(s, "tif"), "-o", dest(s), "-q", f"{quality / 100:.2f}"]])
            if have("JxrEncApp") else "JxrEncApp not installed")
    return tools


# ---------------------------------------------------------------- quality


def decode(fmt, path, work):
    """The output decoded by a decoder that is not ours: a file ImageMagick reads."""
    stem = work / "decoded"
    for old in work.glob("decoded*"):
        old.unlink()
    if fmt == "AVIF":
        argv, result = ["avifdec", str(path), f"{stem}.png"], f"{stem}.png"
    elif fmt == "JXL":
        argv, result = ["djxl", str(path), f"{stem}.png"], f"{stem}.png"
    elif fmt == "JP2":
        argv, result = ["opj_decompress", "-i", str(path), "-o", f"{stem}.png"], f"{stem}.png"
    elif fmt == "WMP":
        jxr = work / "read.jxr"
        shutil.copyfile(path, jxr)
        argv, result = ["JxrDecApp", "-i", str(jxr), "-o", f"{stem}.tif"], f"{stem}.tif"
    elif fmt == "SVG":
        argv, result = ["rsvg-convert", str(path), "-o", f"{stem}.png"], f"{stem}.png"
    elif fmt == "PDF":
        code, text = quiet(["pdfimages", "-all", str(path), str(stem)])
        found = sorted(work.glob("decoded-*"))
        return (str(found[0]), None) if code == 0 and found else (None, text.strip()[-160:])
    elif fmt in ("ICO", "GIF", "PSD"):
        # The first picture: a PSD's flattened one; an icon's only one.
        return f"{path}[0]", None
    else:
        return str(path), None
    code, text = quiet(argv)
    if code != 0 or not Path(result).exists():
        return None, f"{argv[0]}: {text.strip()[-160:]}"
    return result, None


def psnr(a, b):
    # compare prints the figure on stderr, where the readers' warnings follow it.
    _, text = quiet([COMPARE, "-metric", "PSNR", a, b, "null:"])
    found = re.match(r"\s*(inf|[0-9]+(?:\.[0-9]+)?)", text)
    return float(found.group(1)) if found else None


def check_outputs(fmt, sources, refs, out, work):
    """Per source: (bytes, psnr or None, problem or None)."""
    results = []
    for src in sources:
        found = [p for p in out.iterdir() if p.is_file() and p.stem == Path(src).stem]
        if len(found) != 1:
            results.append((0, None, "no output" if not found else "several outputs"))
            continue
        path = found[0]
        size = path.stat().st_size
        decoded, problem = decode(fmt, path, work)
        if decoded is None:
            results.append((size, None, f"unreadable: {problem}"))
            continue
        got = dims(decoded)
        ref = refs[src]
        want = ref["size"]
        if fmt == "ICO":
            # Any size that fits the box with the source's shape (rounding either way).
            w, h = want
            scale = min(1.0, ICON_BOX / w, ICON_BOX / h)
            ok = got is not None and max(got) <= ICON_BOX and all(
                abs(g - s * scale) <= 1 for g, s in zip(got, want))
        else:
            ok = got == want
        if not ok:
            results.append((size, None, f"size {got} for {want}"))
            continue
        if fmt == "ICO":
            icon_ref = work / "icon_ref.png"
            quiet([IM, src, "-resize", f"{got[0]}x{got[1]}!", str(icon_ref)])
            candidates = [str(icon_ref)]
        elif ref["alpha"] and not has_alpha(decoded):
            candidates = [ref["on_white"], ref["on_black"], ref["colour"]]
        else:
            candidates = [src]
        scores = [s for s in (psnr(decoded, c) for c in candidates) if s is not None]
        if not scores:
            results.append((size, None, "PSNR not measurable"))
        elif not lossy_output(fmt) and max(scores) < LOSSLESS_FLOOR:
            # A lossless format that comes back this far from its source holds
            # another picture (flipped rows, say), as an independent reader sees it.
            results.append((size, max(scores), f"another picture: PSNR {max(scores):.1f} dB"))
        else:
            results.append((size, max(scores), None))
    return results


def lossy_output(fmt):
    # A GIF's palette and an icon's shrinking lose detail too.
    return FORMATS[fmt]["lossy"] or fmt in ("GIF", "ICO")


def pooled_psnr(values):
    """The PSNR of the batch, from the mean of the files' squared errors."""
    if not values or any(v is None for v in values):
        return None
    mse = sum(10 ** (-v / 10) if v != math.inf else 0.0 for v in values) / len(values)
    return math.inf if mse == 0 else -10 * math.log10(mse)


# ---------------------------------------------------------------- sources


def pick_photos(n):
    photos = sorted(DEFAULT_PHOTOS.glob("*.jpg"))
    if not photos:
        sys.exit(f"no photos found in {DEFAULT_PHOTOS}")
    sized = []
    for p in photos:
        size = dims(p)
        if size:
            sized.append((size[0] * size[1], p.stat().st_size, str(p)))
    sized.sort(reverse=True)
    return [s[2] for s in sized[:n]]


def make_alpha_set(photos, folder):
    """The corpus's photo-sized PNG with transparency, and photos with an alpha ramp."""
    folder = fresh(folder)
    made = []
    if REAL_ALPHA.exists():
        target = folder / REAL_ALPHA.name
        shutil.copyfile(REAL_ALPHA, target)
        made.append(str(target))
    for p in photos[:max(1, len(photos) - len(made))]:
        w, h = dims(p)
        xy, ramp = folder / "xy.v", folder / "ramp.v"
        x = folder / "x.v"
        target = folder / (Path(p).stem + "_alpha.png")
        for argv in ([VIPS, "xyz", str(xy), str(w), str(h)],
                     [VIPS, "extract_band", str(xy), str(x), "0"],
                     # 255 over the left quarter, 0 over the right quarter, a ramp between.
                     [VIPS, "linear", "--uchar", "--", str(x), str(ramp), str(-510 / w), "382.5"],
                     [VIPS, "bandjoin", f"{p} {ramp}", str(target)]):
            code, text = quiet(argv)
            if code != 0:
                sys.exit(f"cannot make the transparent sources: {text}")
        for v in (xy, x, ramp):
            v.unlink()
        made.append(str(target))
    return made


def references(sources, folder):
    """Per source: its size, whether it has alpha, and (with alpha) it on white, on
    black and its colour alone."""
    refs = {}
    for src in sources:
        ref = {"size": dims(src), "alpha": has_alpha(src)}
        if ref["alpha"]:
            stem = Path(src).stem
            ref["on_white"] = str(folder / f"{stem}_white.png")
            ref["on_black"] = str(folder / f"{stem}_black.png")
            ref["colour"] = str(folder / f"{stem}_colour.png")
            quiet([IM, src, "-background", "white", "-flatten", ref["on_white"]])
            quiet([IM, src, "-background", "black", "-flatten", ref["on_black"]])
            quiet([IM, src, "-alpha", "off", ref["colour"]])
        refs[src] = ref
    return refs


# ---------------------------------------------------------------- one format


def measure(name, tasks, jobs, repeat, out, scratch, fmt, sources, refs, work):
    best = None
    failures = []
    for _ in range(repeat):
        fresh(out)
        fresh(scratch)
        seconds, peak, cpu, failures = run_batch(tasks, jobs)
        if best is None or seconds < best[0]:
            best = (seconds, peak, cpu)
        if failures:
            break
    checked = check_outputs(fmt, sources, refs, out, work)
    problems = failures + [p for _, _, p in checked if p]
    return {"name": name, "seconds": best[0], "peak": best[1], "cpu": best[2],
            "bytes": sum(b for b, _, _ in checked),
            "psnr": pooled_psnr([v for _, v, _ in checked]),
            "valid": not problems, "problem": problems[0] if problems else None}


def equal_quality_bytes(fmt, peer, sources, refs, target_psnr, q80_result, work):
    """The peer's bytes at Imbrix's PSNR, interpolated over three qualities."""
    points = [(q80_result["psnr"], q80_result["bytes"])]
    for quality in EQUAL_QUALITIES:
        out, scratch = fresh(work / "eq_out"), fresh(work / "eq_scratch")
        tasks = peer_tools(fmt, sources, out, scratch, quality)[peer]
        _, _, _, failures = run_batch(tasks, JOBS)
        checked = check_outputs(fmt, sources, refs, out, work)
        value = pooled_psnr([v for _, v, _ in checked])
        if failures or value is None or value == math.inf:
            return None, False
        points.append((value, sum(b for b, _, _ in checked)))
    points.sort()
    if any(p[0] is None for p in points) or target_psnr is None or target_psnr == math.inf:
        return None, False
    inside = points[0][0] <= target_psnr <= points[-1][0]
    # The segment that holds the target (or the nearest one at either end).
    for lo, hi in zip(points, points[1:]):
        if target_psnr <= hi[0] or hi is points[-1]:
            break
    if hi[0] == lo[0]:
        return hi[1], inside
    t = (target_psnr - lo[0]) / (hi[0] - lo[0])
    return math.exp(math.log(lo[1]) + t * (math.log(hi[1]) - math.log(lo[1]))), inside


def run_format(fmt, sources, refs, args, work, equal):
    out, scratch = work / "out", work / "scratch"
    spec = FORMATS[fmt]
    cli = [args.cli, "-f", spec["cli"], "-q", str(QUALITY), "-j", str(JOBS), "-d", str(out),
           "--", *sources]
    rows = [measure("Imbrix", [[cli]], 1, args.repeat, out, scratch, fmt, sources, refs, work)]
    skipped = []
    for name, tasks in peer_tools(fmt, sources, out, scratch).items():
        if isinstance(tasks, str):
            skipped.append(f"{name}: {tasks}")
            continue
        rows.append(measure(name, tasks, JOBS, args.repeat, out, scratch, fmt, sources, refs,
                            work))
    ours = rows[0]
    peers = [r for r in rows[1:] if r["valid"]]
    fastest = min(peers, key=lambda r: r["seconds"]) if peers else None
    result = {"fmt": fmt, "rows": rows, "skipped": skipped, "fastest": fastest}
    peer = EQUAL_PEER.get(fmt)
    if equal and peer and ours["valid"] and ours["psnr"] not in (None, math.inf):
        peer_row = next((r for r in rows if r["name"] == peer and r["valid"]), None)
        if peer_row and peer_row["psnr"] not in (None, math.inf):
            try:
                size, inside = equal_quality_bytes(fmt, peer, sources, refs, ours["psnr"],
                                                   peer_row, work)
            except (OSError, ValueError, ZeroDivisionError) as error:
                print(f"  ({fmt}: no bytes at equal quality: {error})", file=sys.stderr)
                size = None
            if size:
                result["equal"] = (peer, ours["bytes"] / size, inside)
    return result


# ---------------------------------------------------------------- printing


def mb(n):
    return f"{n / 1e6:.2f}"


def db(value):
    if value is None:
        return "n/a"
    return "inf" if value == math.inf else f"{value:.2f}"


def print_set(title, results):
    print(f"== {title}")
    print(f"{'format':<6} {'tool':<22}{'s':>7}{'CPU s':>7}{'MB':>8}{'PSNR':>7}{'peakMB':>8}"
          f"{'s/Imbrix':>9}  valid")
    for res in results:
        ours = res["rows"][0]
        for i, r in enumerate(res["rows"]):
            mark = " *" if r is res["fastest"] else ""
            valid = "yes" if r["valid"] else f"NO: {r['problem']}"
            print(f"{res['fmt'] if i == 0 else '':<6} {r['name'] + mark:<22}{r['seconds']:7.2f}"
                  f"{r['cpu']:7.2f}{mb(r['bytes']):>8}{db(r['psnr']):>7}{r['peak'] / 1e6:8.0f}"
                  f"{r['seconds'] / ours['seconds']:9.2f}  {valid}")
        for s in res["skipped"]:
            print(f"{'':<7}(skipped {s})")
    print("(* the fastest peer with valid files)\n")


def summary(title, results):
    """The summary as a Markdown table, for a README."""
    print(f"== summary, {title}\n")
    print("| format | Imbrix s | fastest peer | peer s | ratio | CPU ratio | bytes | bytes at "
          "equal PSNR | PSNR Imbrix / peer | peak MB Imbrix / libvips |")
    print("|---|--:|---|--:|--:|--:|--:|---|--:|--:|")
    for res in results:
        ours, fast = res["rows"][0], res["fastest"]
        vips = next((r for r in res["rows"] if r["name"].startswith("libvips")), None)
        mem = f"{ours['peak'] / 1e6:.0f} / " + (f"{vips['peak'] / 1e6:.0f}" if vips else "-")
        equal = "-"
        if "equal" in res:
            peer, ratio, inside = res["equal"]
            equal = f"{'' if inside else '~'}{ratio:.2f} ({peer})"
        name = res["fmt"] + ("" if ours["valid"] else " (Imbrix failed)")
        if fast:
            print(f"| {name} | {ours['seconds']:.2f} | {fast['name']} | {fast['seconds']:.2f} | "
                  f"{ours['seconds'] / fast['seconds']:.2f} | {ours['cpu'] / fast['cpu']:.2f} | "
                  f"{ours['bytes'] / fast['bytes']:.2f} | {equal} | "
                  f"{db(ours['psnr'])} / {db(fast['psnr'])} | {mem} |")
        else:
            print(f"| {name} | {ours['seconds']:.2f} | (no peer wrote valid files) | | | | | "
                  f"{equal} | {db(ours['psnr'])} / - | {mem} |")
    print("\n(ratio: Imbrix's wall time over the fastest valid peer's; CPU ratio: the same for "
          "CPU seconds,\n the steadier figure on a busy machine; bytes: Imbrix's over that "
          "peer's at quality 80;\n bytes at equal PSNR: Imbrix's over the named peer's at "
          "Imbrix's PSNR, ~ extrapolated)\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(ROOT / "build"), help="build folder with bin/imbrix-cli")
    ap.add_argument("--formats", default=",".join(FORMATS),
                    help="comma-separated, of " + ",".join(FORMATS))
    ap.add_argument("--repeat", type=int, default=1, help="runs per tool; the fastest counts")
    ap.add_argument("--photos", type=int, default=4, help="photos per set")
    ap.add_argument("--sets", default="photos,alpha", help="photos, alpha or both")
    ap.add_argument("--keep", help="work in this folder and keep it (sources, last outputs)")
    ap.add_argument("--no-equal", action="store_true", help="skip the bytes at equal quality")
    ap.add_argument("--json", help="also write every figure to this file, for later comparison")
    args = ap.parse_args()

    args.cli = str(Path(args.build) / "bin" / "imbrix-cli")
    if not Path(args.cli).exists():
        sys.exit(f"{args.cli} not found: build imbrix_cli and imbrix_magick first")
    formats = [f.strip().upper() for f in args.formats.split(",") if f.strip()]
    aliases = {"JPG": "JPEG", "JFIF": "JPEG", "TIF": "TIFF"}
    formats = [aliases.get(f, f) for f in formats]
    unknown = [f for f in formats if f not in FORMATS]
    if unknown:
        sys.exit(f"unknown formats: {', '.join(unknown)}")
    if not IM or not VIPS:
        sys.exit("ImageMagick 6 (convert-im6.q16) and libvips (vips) are needed to measure")
    for needed in ("avifdec", "djxl", "opj_decompress", "JxrDecApp", "rsvg-convert", "pdfimages"):
        if not have(needed):
            print(f"warning: {needed} not installed: its format's outputs cannot be checked")

    if args.keep:
        work = fresh(args.keep)
    else:
        work = Path(tempfile.mkdtemp(prefix="imbrix-formats-bench-"))
    try:
        photos = pick_photos(args.photos)
        sets = {}
        names = [s.strip() for s in args.sets.split(",")]
        if "photos" in names:
            sets["photos"] = photos
        if "alpha" in names:
            sets["alpha"] = make_alpha_set(photos, work / "alpha_sources")
        load = os.getloadavg()
        print(f"{time.strftime('%Y-%m-%d %H:%M:%S %Z')}, load average {load[0]:.2f} "
              f"{load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores")
        print(f"build: {args.build}; {args.repeat} run(s) per tool, the fastest counts")
        print("cores: each peer runs 2 processes at once, each with its default threads; "
              "Imbrix runs one imbrix-cli with -j 2")
        total = time.perf_counter()
        everything = {}
        for set_name, sources in sets.items():
            sizes = [dims(s) for s in sources]
            megapixels = sum(w * h for w, h in sizes) / 1e6
            print(f"set {set_name}: {len(sources)} files, {megapixels:.1f} megapixels: "
                  + ", ".join(f"{Path(s).name} {w}x{h}" for s, (w, h) in zip(sources, sizes)))
        print()
        for set_name, sources in sets.items():
            refs = references(sources, fresh(work / f"refs_{set_name}"))
            results = []
            for fmt in formats:
                started = time.perf_counter()
                results.append(run_format(fmt, sources, refs, args, work,
                                          equal=set_name == "photos" and not args.no_equal))
                print(f"  ({set_name} {fmt}: {time.perf_counter() - started:.0f} s)",
                      file=sys.stderr, flush=True)
            everything[set_name] = results
            print_set(f"{set_name}: {len(sources)} files", results)
            summary(set_name, results)
            sys.stdout.flush()
        print(f"(whole run {time.perf_counter() - total:.0f} s)")
        if args.json:
            Path(args.json).write_text(json.dumps(everything, indent=1, default=str))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
