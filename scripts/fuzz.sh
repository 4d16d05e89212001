#!/usr/bin/env bash
# Builds the decoders' libFuzzer targets with clang and runs each for a while,
# seeded from the shared corpus of real images and from tests/crashers.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#
# Targets: bmp ico tiff jpeg png gif svg webp jxr jpegyuv content exif probe metadata resize (all by default),
# and the converter front's readers: magick_content magick_jxlheader magick_tga
# magick_psd magick_wholeness svgguard.
# Findings of the run land in <build>/fuzz-artifacts/<target>/; the script lists
# them and exits with 1 when there are any. Each one, once fixed, belongs in
# tests/crashers/ with the extension of its decoder.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
shift || true
if (($# > 0)); then
  targets=("$@")
else
  targets=(bmp ico tiff jpeg png gif svg webp jxr jpegyuv content exif probe metadata resize)
fi
build=${IMBRIX_FUZZ_BUILD:-$root/build-fuzz}
corpus=${IMBRIX_CORPUS_DIR:-$root/../shared/corpus}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DIMBRIX_FUZZ=ON \
  -DIMBRIX_BUILD_GUI=OFF -DIMBRIX_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}" >/dev/null

# Copies the small files of the corpus (and of tests/crashers) whose names end
# in one of the given extensions into a seed folder.
seed() {
  local dir=$1
  shift
  local pattern=()
  for ext in "$@"; do
    pattern+=(-o -iname "*.$ext")
  done
  find "$corpus" "$root/tests/crashers" "$root/tests/magick/crashers" -type f -size -128k \( "${pattern[@]:1}" \) \
    -exec cp -t "$dir" -- {} + 2>/dev/null || true
}

make_seeds() {
  local target=$1 dir=$2
  case $target in
    bmp) seed "$dir" bmp ;;
    ico) seed "$dir" ico ;;
    tiff) seed "$dir" tif tiff ;;
    jpeg | jpegyuv) seed "$dir" jpg jpeg jfif ;;
    png) seed "$dir" png ;;
    gif) seed "$dir" gif ;;
    svg) seed "$dir" svg ;;
    webp) seed "$dir" webp ;;
    jxr)
      # The corpus holds no JPEG XR file: the codec's own encoder makes a few.
      seed "$dir" wmp jxr
      local n=0
      for src in "$corpus"/bmp/x-image/video-001.bmp "$corpus"/bmp/pngsuite-as-bmp/basn6a08.bmp \
                 "$corpus"/bmp/pngsuite-as-bmp/basn0g08.bmp; do
        [[ -f $src ]] || continue
        cp -- "$src" "$dir/source.bmp"
        for q in 1 0.5; do
          n=$((n + 1))
          JxrEncApp -i "$dir/source.bmp" -o "$dir/seed-$n.jxr" -q "$q" >/dev/null 2>&1 || true
        done
        rm -f -- "$dir/source.bmp"
      done
      ;;
    content | resize) seed "$dir" png gif bmp ico webp jpg ;;
    metadata) seed "$dir" jpg jpeg png webp tif tiff psd jp2 jxl heic avif gif ;;
    probe) seed "$dir" png gif bmp ico webp jpg tif psd tga jxl heic avif jp2 j2k wmp ;;
    magick_content) seed "$dir" png gif bmp ico webp jpg tga psd jp2 j2k heic avif jxl tif svg ;;
    magick_jxlheader) seed "$dir" jxl ;;
    magick_tga) seed "$dir" tga ;;
    magick_psd | magick_wholeness) seed "$dir" psd tga png gif bmp ico webp avif jxl jp2 pdf ;;
    svgguard) seed "$dir" svg svgz ;;
    exif)
      # Minimal EXIF blocks: both byte orders, with and without the APP1 prefix.
      printf 'Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0' >"$dir/le"
      printf 'MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x08\0\0\0\0\0\0' >"$dir/be"
      ;;
  esac
}

# Caches that libraries keep for the whole process are not leaks of a decode.
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

found=0
for target in "${targets[@]}"; do
  seeds=$build/fuzz-seeds/$target
  work=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  # Findings are those of this run; the corpus it grew is kept for the next.
  rm -rf -- "$seeds" "$artifacts"
  mkdir -p -- "$seeds" "$work" "$artifacts"
  make_seeds "$target" "$seeds"
  echo "== $target: $(ls "$seeds" | wc -l) seeds, ${seconds}s"
  # Fork mode goes on after a finding, so one run collects several.
  "$build/fuzz/fuzz_$target" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=131072 \
    -artifact_prefix="$artifacts/" "$work" "$seeds" >"$build/fuzz-$target.log" 2>&1 || true
  grep -E '^#[0-9]+: cov:' "$build/fuzz-$target.log" | tail -n 1 || true
  if compgen -G "$artifacts/*" >/dev/null; then
    found=1
    ls -1 -- "$artifacts"
  fi
done
exit $found
