#!/usr/bin/env python3
"""Where the time of one conversion goes, format by format.

Converts one camera photo with `imbrix-cli -f FMT -q 80 -j 1` into each output
format (the formats Imbrix writes itself and those it hands to its converter
front, build/bin/imagemagick/magick, which starts ImageMagick, cjxl, heif-enc,
opj_compress, gm ...), and for each prints:

  wall      wall and CPU seconds of the conversion alone (os.wait4 of imbrix-cli:
            its CPU counts every descendant), best of --repeat
  processes every program started (strace -f -e trace=execve,write,writev,pwrite64):
            when it started after imbrix-cli, how long it ran (execve to exit),
            and the files it wrote, with their bytes (the sum of its write()
            calls per file): "(result)" is the front's output in its workspace
            (imbrix-magick-*, published from there), "(mid)" every other file
            there, an intermediate one. Under strace every
            process runs a little slower; the shares are what counts.
  start     the fixed cost of starting each program (imbrix-cli, the front, its
            helpers): the wall time of running it for its version text (best of
            3), measured once, and their sum over the programs a conversion starts
  CPU split perf record (cpu-clock samples of imbrix-cli and all its children),
            perf report --sort comm,dso: the share of each process and library,
            then the same grouped by kind: JPEG decoding (libjpeg, ImageMagick's
            jpeg coder), ImageMagick's core (its pixel cache, colour and depth
            conversion, OpenMP), colour management (lcms2), PNG and zlib (the
            intermediate files), each encoder library (libaom, libjxl,
            libopenjp2, libwebp, libtiff, jxrlib, libgif/libimagequant, ...),
            our own code (imbrix-cli, the front), the kernel (page faults, file
            I/O, process creation) and the dynamic loader (process start).

Usage: bench/format_profile.py [--build DIR] [--formats LIST] [--photo PATH]
                               [--repeat N] [--no-perf] [--no-strace]
Without --photo it uses kde_Path.jpg (2560 x 1600) of ../shared/corpus/photos/camera.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

from bench import DEFAULT_PHOTOS, ROOT
from formats_bench import FORMATS

DEFAULT_PHOTO = DEFAULT_PHOTOS / "kde_Path.jpg"

# How each helper program is started for nothing but its version text.
START_PROBES = {
    "convert": ["/usr/bin/convert", "-version"],
    "gm": ["gm", "version"],
    "cjxl": ["cjxl", "--version"],
    "heif-enc": ["heif-enc", "--list-encoders"],
    "opj_compress": ["opj_compress", "-h"],
    "gif2webp": ["gif2webp", "-version"],
}

# Library kinds, by the first pattern its shared object name matches.
KINDS = [
    ("JPEG XR (jxrlib)", r"libjpegxr|libjxrglue"),
    ("JPEG decoding", r"libjpeg|^jpeg\.so"),
    ("colour management (lcms2)", r"liblcms"),
    ("PNG and zlib", r"libpng|libz\.so|^png\.so|libdeflate"),
    ("ImageMagick core", r"libMagick|libgomp|^(miff|psd|bmp|tga|ico|icon|gif|pam|pnm|svg|"
                         r"jp2|tiff|webp|heic|pdf)\.so"),
    ("GraphicsMagick", r"libGraphicsMagick"),
    ("AV1 encoder (libaom)", r"libaom"),
    ("HEIF container (libheif)", r"libheif"),
    ("JPEG XL (libjxl)", r"libjxl|libbrotli|libhwy"),
    ("JPEG 2000 (libopenjp2)", r"libopenjp2"),
    ("WebP (libwebp)", r"libwebp|libsharpyuv"),
    ("TIFF (libtiff)", r"libtiff"),
    ("GIF (giflib, libimagequant)", r"libgif|libimagequant"),
    ("PDF (qpdf)", r"libqpdf"),
    ("our code", r"^imbrix|^magick$|^\[imbrix"),
    ("kernel", r"kernel|\[vdso\]"),
    ("dynamic loader", r"^ld-linux"),
    ("C and C++ runtime", r"^libc\.so|libstdc\+\+|libm\.so|libgcc"),
]


def run_timed(argv, env=None):
    """Wall seconds and CPU seconds (the process and its descendants) of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv[0]} failed: {err.strip()[-300:]}")
    return seconds, usage.ru_utime + usage.ru_stime


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return Path(folder)


def start_costs(cli):
    costs = {}
    probes = dict(START_PROBES)
    probes["imbrix-cli"] = [cli, "--version"]
    # The front prints its usage for an option it does not know.
    probes["magick"] = [str(Path(cli).parent / "imagemagick" / "magick"), "-version"]
    for name, argv in probes.items():
        if not shutil.which(argv[0]):
            continue
        best = None
        for _ in range(3):
            start = time.perf_counter()
            proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _, _, usage = os.wait4(proc.pid, 0)
            elapsed = (time.perf_counter() - start, usage.ru_utime + usage.ru_stime)
            best = elapsed if best is None or elapsed[0] < best[0] else best
        costs[name] = best
    return costs


LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
EXECVE = re.compile(r'^execve\("([^"]+)".* = 0')
WRITE_START = re.compile(r"^(?:write|writev|pwrite64)\((\d+)<([^>]*)>")
WRITE_DONE = re.compile(r"= (\d+)$")
EXITED = re.compile(r"^\+\+\+ (exited with|killed by) ")


def parse_strace(path):
    """Processes (pid -> program, start, end, {file: bytes}) from an strace -f -ttt -y log."""
    procs = {}
    pending = {}  # pid -> file of a write() not yet returned
    first = None
    for raw in Path(path).read_text(errors="replace").splitlines():
        m = LINE.match(raw)
        if not m:
            continue
        pid, stamp, rest = int(m.group(1)), float(m.group(2)), m.group(3)
        first = stamp if first is None else first
        e = EXECVE.match(rest)
        if e:
            procs[pid] = {"program": Path(e.group(1)).name, "start": stamp, "end": None,
                          "files": defaultdict(int)}
            continue
        if rest.startswith("<... execve resumed>") and rest.rstrip().endswith("= 0"):
            procs.setdefault(pid, {"program": "?", "start": stamp, "end": None,
                                   "files": defaultdict(int)})
            continue
        w = WRITE_START.match(rest)
        if w or re.match(r"<\.\.\. (write|writev|pwrite64) resumed>", rest):
            target = w.group(2) if w else pending.pop(pid, None)
            done = WRITE_DONE.search(rest)
            if target is None:
                continue
            if done is None:
                pending[pid] = target
                continue
            owner = pid if pid in procs else None
            if owner is None:
                # A thread of a process: counted on the latest process started before it.
                owner = max((p for p in procs if p < pid), default=None)
            if owner is not None and target.startswith("/"):
                procs[owner]["files"][target] += int(done.group(1))
            continue
        if EXITED.match(rest) and pid in procs:
            procs[pid]["end"] = stamp
    return first, procs


def perf_split(data):
    # (Thread names hold spaces: "aom enc worker".)
    result = subprocess.run(["perf", "report", "-i", str(data), "--sort", "comm,dso", "--stdio",
                             "-q", "--percent-limit", "0", "-t", "|"], capture_output=True,
                            text=True)
    rows = []
    for line in result.stdout.splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and fields[0].endswith("%"):
            rows.append((float(fields[0][:-1]), fields[1], fields[2]))
    return rows


def kind_of(dso):
    for name, pattern in KINDS:
        if re.search(pattern, dso):
            return name
    return "other"


def profile(fmt, args, work, costs):
    spec = FORMATS[fmt]
    out = fresh(work / "out")
    cli = [args.cli, "-f", spec["cli"], "-q", "80", "-j", "1", "-d", str(out), "--", args.photo]
    best = None
    try:
        for _ in range(args.repeat):
            fresh(out)
            seconds, cpu = run_timed(cli)
            best = (seconds, cpu) if best is None or seconds < best[0] else best
    except RuntimeError as error:
        # Where the time went until it failed is still shown.
        print(f"== {fmt}: FAILED: {error}")
    if best:
        written = sum(p.stat().st_size for p in out.iterdir())
        print(f"== {fmt}: {Path(args.photo).name} -> {written / 1e3:.0f} KB; wall {best[0]:.2f} s,"
              f" CPU {best[1]:.2f} s (imbrix-cli and children)")

    if not args.no_strace:
        fresh(out)
        log = work / "trace.txt"
        subprocess.run(["strace", "-f", "--seccomp-bpf", "-ttt", "-y", "-s", "0", "-e",
                        "trace=execve,write,writev,pwrite64", "-e", "signal=none", "-o",
                        str(log), "--", *cli], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        first, procs = parse_strace(log)
        print(f"  processes (under strace):  {'start':>7} {'seconds':>8}  files written")
        intermediate = 0
        count = 0
        for pid, p in sorted(procs.items(), key=lambda kv: kv[1]["start"]):
            length = f"{p['end'] - p['start']:8.3f}" if p["end"] else f"{'?':>8}"
            files = []
            for name, size in sorted(p["files"].items(), key=lambda kv: -kv[1]):
                if size < 1024:
                    continue
                # The front writes its result as out.* in its workspace, then
                # publishes it; everything else there is intermediate.
                inside = "imbrix-magick-" in name
                mid = inside and not Path(name).name.startswith("out.")
                if mid:
                    intermediate += size
                    count += 1
                mark = "(mid) " if mid else "(result) " if inside else ""
                files.append(f"{mark}{Path(name).name} {size / 1e6:.2f} MB")
            print(f"  {p['program']:<26}{p['start'] - first:+7.3f} {length}  {'; '.join(files)}")
        starts = [p["program"] for p in procs.values()]
        fixed = [sum(costs.get(name, (0.0, 0.0))[i] for name in starts) for i in (0, 1)]
        print(f"  {len(starts)} programs started; intermediate files: {count}, "
              f"{intermediate / 1e6:.1f} MB; their fixed start cost (version runs): "
              f"{fixed[0]:.3f} s wall, {fixed[1]:.3f} s CPU")

    if not args.no_perf:
        fresh(out)
        data = work / "perf.data"
        subprocess.run(["perf", "record", "-q", "-F", str(args.frequency), "-o", str(data), "--",
                        *cli], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rows = perf_split(data)
        kinds = defaultdict(float)
        for pct, _, dso in rows:
            kinds[kind_of(dso)] += pct
        print("  CPU by kind (perf): " + ", ".join(
            f"{name} {pct:.0f}%" for name, pct in sorted(kinds.items(), key=lambda kv: -kv[1])
            if pct >= 0.5))
        print("  CPU by process and library (perf, >= 1%):")
        for pct, comm, dso in rows:
            if pct >= 1.0:
                print(f"    {pct:5.1f}%  {comm:<18} {dso}")
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(ROOT / "build"))
    ap.add_argument("--formats", default=",".join(FORMATS))
    ap.add_argument("--photo", default=str(DEFAULT_PHOTO))
    ap.add_argument("--repeat", type=int, default=1, help="timed runs; the fastest counts")
    ap.add_argument("--frequency", type=int, default=1999, help="perf samples per second")
    ap.add_argument("--no-perf", action="store_true")
    ap.add_argument("--no-strace", action="store_true")
    args = ap.parse_args()
    args.cli = str(Path(args.build) / "bin" / "imbrix-cli")
    if not Path(args.cli).exists():
        sys.exit(f"{args.cli} not found: build imbrix_cli and imbrix_magick first")
    for needed, flag in (("perf", "no_perf"), ("strace", "no_strace")):
        if not getattr(args, flag) and not shutil.which(needed):
            sys.exit(f"{needed} not installed (or pass --{flag.replace('_', '-')})")
    aliases = {"JPG": "JPEG", "JFIF": "JPEG", "TIF": "TIFF"}
    formats = [aliases.get(f.strip().upper(), f.strip().upper())
               for f in args.formats.split(",") if f.strip()]
    unknown = [f for f in formats if f not in FORMATS]
    if unknown:
        sys.exit(f"unknown formats: {', '.join(unknown)}")

    load = os.getloadavg()
    print(f"{time.strftime('%Y-%m-%d %H:%M:%S %Z')}, load average {load[0]:.2f} {load[1]:.2f} "
          f"{load[2]:.2f} on {os.cpu_count()} cores; build {args.build}; photo {args.photo}")
    costs = start_costs(args.cli)
    print("start cost of each program (version run, best of 3; wall s / CPU s): " + ", ".join(
        f"{name} {wall:.3f}/{cpu:.3f}" for name, (wall, cpu) in costs.items()) + "\n")
    work = Path(tempfile.mkdtemp(prefix="imbrix-format-profile-"))
    try:
        for fmt in formats:
            try:
                profile(fmt, args, work, costs)
            except RuntimeError as error:
                print(f"== {fmt}: {error}\n")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
