#!/usr/bin/env bash
# The front's in-process JPEG 2000, GIF and PDF writers (imbrix_format_bench)
# beside their peers, on the given photos: wall and CPU seconds, bytes, and PSNR
# against the source (outputs decoded by opj_decompress or ImageMagick,
# compared by ImageMagick). Usage:
#   bench/format_bench.sh BUILD_DIR jp2|gif|pdf QUALITY FILE...
# A PDF's picture is the JPEG that pdfimages extracts from it.
# The machine is shared: CPU seconds (user + system) are steadier than wall.
# MB is the peak resident memory.
set -euo pipefail
build=$1 format=$2 quality=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bench=$build/bin/imbrix_format_bench
front=$build/bin/imagemagick/magick

timed() {  # timed COMMAND...: prints "wall cpu" seconds and the peak memory (MB)
  /usr/bin/time -o "$work/time" -f '%e %U %S %M' "$@" >/dev/null 2>&1
  awk '{printf "%.2f %.2f %.0f", $1, $2 + $3, $4 / 1024}' "$work/time"
}

psnr() {  # psnr SOURCE OUTPUT: decoded with a reader that is not ours
  local decoded=$work/decoded.png
  rm -f "$decoded"
  case $2 in
    *.jp2) opj_decompress -i "$2" -o "$decoded" >/dev/null 2>&1 ;;
    *.pdf)
      rm -f "$work"/page-*
      pdfimages -j "$2" "$work/page"
      convert "$work"/page-000.jpg "$decoded"
      ;;
    *) convert "$2" "$decoded" ;;
  esac
  compare -metric PSNR "$1" "$decoded" null: 2>&1 || true
}

printf '%-24s %-12s %6s %6s %5s %9s %7s\n' file tool wall cpu MB bytes psnr
for src in "$@"; do
  name=$(basename "${src%.*}")
  dir=$work/$name
  mkdir -p "$dir"/ours "$dir"/ours2
  convert "$src" -auto-orient "$dir/src.png"
  row() { printf '%-24s %-12s %6s %6s %5s %9s %7s\n' "$name" "$1" ${2} "$(stat -c %s "$3")" "$(psnr "$dir/src.png" "$3")"; }

  t=$(timed "$bench" --format "$format" --quality "$quality" --out "$dir/ours" "$src")
  row ours "$t" "$dir/ours/$name.$format"
  t=$(timed "$bench" --format "$format" --quality "$quality" --threads 1 --out "$dir/ours2" "$src")
  row ours+1thread "$t" "$dir/ours2/$name.$format"
  if [[ -x $front ]]; then
    t=$(timed "$front" "$src" -auto-orient -quality "$quality" "$dir/front.$format")
    row front "$t" "$dir/front.$format"
  fi
  if [[ $format == jp2 ]]; then
    t=$(timed vips copy "$src" "$dir/vips.jp2[Q=$quality]")
    row vips "$t" "$dir/vips.jp2"
    # opj_compress at our rate, from a PPM made beforehand (its encode alone).
    convert "$src" -auto-orient "$dir/src.ppm"
    read -r w h <<<"$(identify -format "%w %h" "$dir/src.ppm")"
    convert "$src" -auto-orient -strip -sampling-factor 2x2 -define jpeg:optimize-coding=true \
      -quality "$quality" "$dir/probe.jpg"
    ratio=$(awk -v w="$w" -v h="$h" -v b="$(stat -c %s "$dir/probe.jpg")" 'BEGIN{printf "%.3f", w*h*3/b}')
    levels=$(awk -v w="$w" -v h="$h" 'BEGIN{s=w<h?w:h; l=1; while (l<6 && 2^l<=s) l++; print l}')
    t=$(timed opj_compress -i "$dir/src.ppm" -o "$dir/opj.jp2" -I -r "$ratio" -n "$levels")
    row opj_compress "$t" "$dir/opj.jp2"
  elif [[ $format == pdf ]]; then
    t=$(timed gm convert "$src" -auto-orient -background white -flatten -compress JPEG \
      -quality "$quality" "pdf:$dir/gm.pdf")
    row gm "$t" "$dir/gm.pdf"
  else
    t=$(timed convert "$src" -auto-orient -quality "$quality" "$dir/im.gif")
    row convert "$t" "$dir/im.gif"
    t=$(timed gm convert "$src" -auto-orient -quality "$quality" "$dir/gm.gif")
    row gm "$t" "$dir/gm.gif"
    t=$(timed vips copy "$src" "$dir/vips.gif")
    row vips "$t" "$dir/vips.gif"
  fi
done
