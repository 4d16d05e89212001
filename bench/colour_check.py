#!/usr/bin/env python3
"""Colour and metadata of every output format, checked with readers that are not ours.

Makes three sources in a temporary folder:

  prophoto.jpg  a camera photo from the corpus, converted into ProPhoto RGB (so
                its colours are right only where the profile is honoured), with
                the camera's EXIF plus GPS, an XMP creator and IPTC keywords
  p3.png        a Display P3 test picture of the corpus (iCCP)
  cmyk.jpg      the corpus's Adobe CMYK JPEG, which carries no profile

converts each into all 18 output formats with imbrix-cli (quality 100 unless
--quality), and for every output prints:

  profile   what the output carries (its ICC description, or "-": sRGB pixels)
  dB        PSNR of the output rendered to sRGB against the source rendered to
            sRGB, both by ImageMagick with lcms ("-profile sRGB.icc")
  ignored   the same for the source with its profile ignored: what a converter
            that drops the profile shows
  metadata  the EXIF, XMP and IPTC fields exiftool reads back, and the
            Orientation it finds

Readers: ImageMagick for most formats, djxl for JXL, rsvg-convert for SVG,
JxrDecApp (JPEG XR) and ImageMagick (AVIF) with exiftool's copy of the ICC
profile, pdfimages for the picture inside a PDF.

Usage: bench/colour_check.py [--cli PATH] [--quality N] [--strip]
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus"
SRGB = "/usr/share/color/icc/colord/sRGB.icc"
PROPHOTO = "/usr/share/color/icc/colord/ProPhotoRGB.icc"
CMYK_PROFILE = "/usr/share/color/icc/ghostscript/default_cmyk.icc"
FORMATS = ["PNG", "WEBP", "JPG", "JPEG", "JFIF", "TIF", "TIFF", "GIF", "BMP", "ICO", "WMP",
           "AVIF", "PSD", "SVG", "TGA", "JXL", "JP2", "PDF"]


def run(argv, **kw):
    return subprocess.run(argv, check=True, capture_output=True, **kw)


def make_sources(work):
    photo = CORPUS / "photos" / "camera" / "kde_Kite.jpg"
    pro = work / "prophoto.jpg"
    run(["convert", str(photo), "-resize", "640x", "-profile", SRGB, "-profile", PROPHOTO,
         "-quality", "97", str(pro)])
    run(["exiftool", "-q", "-overwrite_original", "-GPSLatitude=48.8583", "-GPSLatitudeRef=N",
         "-GPSLongitude=2.2945", "-GPSLongitudeRef=E", "-XMP-dc:Creator=Imbrix Tester",
         "-IPTC:Keywords=colour", "-Orientation#=1", str(pro)])
    p3 = work / "p3.png"
    shutil.copy(CORPUS / "png-misc" / "wide-gamut" / "P3-sRGB-color-ring.png", p3)
    cmyk = work / "cmyk.jpg"
    shutil.copy(CORPUS / "photos" / "jpeg-variants" / "video-001.cmyk.jpeg", cmyk)
    return {"prophoto.jpg": pro, "p3.png": p3, "cmyk.jpg": cmyk}


def to_srgb(src, dst, assume=None):
    """Renders `src` to an sRGB PNG as a colour-managed reader shows it."""
    argv = ["convert", str(src) + "[0]"]
    if assume:
        argv += ["-profile", assume]
    argv += ["-profile", SRGB, "-background", "white", "-alpha", "remove", "png24:" + str(dst)]
    run(argv)


def decoded(out, work):
    """The output as a picture ImageMagick reads, keeping its profile."""
    ext = out.suffix.lower()
    if ext == ".jxl":
        png = work / (out.stem + ".djxl.png")
        run(["djxl", str(out), str(png)])
        return png
    if ext in (".wmp", ".avif"):
        # JxrDecApp (it goes by the extension: ".jxr" in, ".bmp" out) and
        # ImageMagick 6 read these pixels without their profile; exiftool reads
        # the profile the file carries.
        if ext == ".wmp":
            jxr = work / (out.stem + ".jxr")
            shutil.copy(out, jxr)
            pixels = work / (out.stem + ".jxr.bmp")
            run(["JxrDecApp", "-i", str(jxr), "-o", str(pixels)])
        else:
            pixels = work / (out.stem + ".avif.png")
            run(["convert", str(out), "+profile", "*", str(pixels)])
        icc = run(["exiftool", "-b", "-ICC_Profile", str(out)]).stdout
        if icc:
            prof = work / (out.stem + ext + ".icc")
            prof.write_bytes(icc)
            png = work / (out.stem + ext + ".tagged.png")
            run(["convert", str(pixels), "-profile", str(prof), "png:" + str(png)])
            return png
        return pixels
    if ext == ".svg":
        # librsvg draws the embedded picture as its pixels say: no colour management.
        png = work / (out.stem + ".rsvg.png")
        run(["rsvg-convert", "-o", str(png), str(out)])
        return png
    if ext == ".pdf":
        stem = work / (out.stem + ".pdfimg")
        run(["pdfimages", "-png", str(out), str(stem)])
        return sorted(work.glob(out.stem + ".pdfimg*.png"))[0]
    return out


def size(path):
    return run(["identify", "-format", "%w %h", str(path) + "[0]"], text=True).stdout.strip()


def psnr(a, b):
    """PSNR of `a` against `b`; `b` is scaled to the size of `a` first where they
    differ (icons hold at most 256 x 256 pixels)."""
    if size(a) != size(b):
        scaled = Path(str(a) + ".ref.png")
        run(["convert", str(b), "-resize", size(a).replace(" ", "x") + "!", "png24:" + str(scaled)])
        b = scaled
    proc = subprocess.run(["compare", "-quiet", "-metric", "PSNR", str(a), str(b), "null:"],
                          capture_output=True, text=True)
    text = proc.stderr.strip().split()[0] if proc.stderr.strip() else "?"
    return "inf" if text == "inf" else (f"{float(text):.1f}" if re.match(r"^[0-9.]+$", text) else text)


def metadata(path):
    tags = ["-ICC_Profile:ProfileDescription", "-EXIF:Model", "-EXIF:DateTimeOriginal",
            "-GPSLatitude", "-XMP-dc:Creator", "-IPTC:Keywords", "-Orientation#",
            "-ThumbnailLength"]
    # exiftool knows no TGA (nor metadata in it): nothing to read there.
    proc = subprocess.run(["exiftool", "-j", "-G1"] + tags + [str(path)], capture_output=True)
    try:
        return json.loads(proc.stdout)[0]
    except (ValueError, IndexError):
        return {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", default=str(ROOT / "build" / "bin" / "imbrix-cli"))
    parser.add_argument("--quality", type=int, default=100)
    parser.add_argument("--strip", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="imbrix-colour-"))
    try:
        sources = make_sources(work)
        refs = {}
        for name, src in sources.items():
            ref = work / (name + ".ref.png")
            to_srgb(src, ref, CMYK_PROFILE if name == "cmyk.jpg" else None)
            raw = work / (name + ".raw.png")
            run(["convert", str(src), "+profile", "icc", "-colorspace", "sRGB",
                 "png24:" + str(raw)])
            refs[name] = (ref, psnr(raw, ref))
        print(f"{'format':6} {'source':13} {'profile':28} {'dB':>6} {'ignored':>7}  metadata")
        for fmt in FORMATS:
            out_dir = work / fmt
            out_dir.mkdir()
            argv = [args.cli, "-f", fmt, "-q", str(args.quality), "-d", str(out_dir)]
            if args.strip:
                argv.append("--strip-metadata")
            proc = subprocess.run(argv + ["--"] + [str(s) for s in sources.values()],
                                  capture_output=True, text=True)
            for name, src in sources.items():
                outs = sorted(out_dir.glob(Path(name).stem + ".*"))
                if not outs:
                    print(f"{fmt:6} {name:13} FAILED {proc.stderr.strip()[-200:]}")
                    continue
                out = outs[0]
                meta = metadata(out)
                profile = next((v for k, v in meta.items() if k.endswith(":ProfileDescription")),
                               "-")
                rendered = work / f"{fmt}-{name}.srgb.png"
                to_srgb(decoded(out, work), rendered)
                ref, ignored = refs[name]
                if size(rendered) != size(ref):
                    # Both at the output's size: the source with its profile
                    # ignored, scaled as the reference is.
                    raw = work / f"{fmt}-{name}.raw.png"
                    run(["convert", str(work / (name + ".raw.png")), "-resize",
                         size(rendered).replace(" ", "x") + "!", "png24:" + str(raw)])
                    ignored = psnr(raw, ref)
                fields = []
                for key in ("Model", "DateTimeOriginal", "GPSLatitude", "Creator", "Keywords",
                            "Orientation", "ThumbnailLength"):
                    hit = [v for k, v in meta.items() if k.split(":")[-1] == key]
                    if hit:
                        fields.append(f"{key}={hit[0]}" if key in ("Orientation",
                                                                  "ThumbnailLength") else key)
                shown = ", ".join(fields) if fields else "-"
                print(f"{fmt:6} {name:13} {str(profile)[:28]:28} {psnr(rendered, ref):>6} "
                      f"{ignored:>7}  {shown}")
    finally:
        if args.keep:
            print("kept", work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
