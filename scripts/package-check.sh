#!/usr/bin/env bash
# Installs a built Imbrix package on this machine with apt, checks what it
# needs and what it installed, runs the installed commands, purges it and checks
# that nothing of it is left under /usr.
#
#   scripts/package-check.sh build-deb/imbrix_<version>_<arch>.deb
#
# Needs root, and a machine where Imbrix is not installed already: otherwise it
# says why it does not run and exits with 0. Called by scripts/package.sh --check.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "${1:?usage: $0 PACKAGE.deb}")

if [[ $(id -u) -ne 0 ]]; then
  echo "Package check SKIPPED: installing the package into /usr needs root" \
    "(run scripts/package.sh --check as root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' imbrix 2>/dev/null | grep -q 'ok installed'; then
  echo "Package check SKIPPED: imbrix is installed on this machine, and the check" \
    "would replace and then remove it"
  exit 0
fi

fail() {
  echo "package check: $*" >&2
  exit 1
}

# One check at a time on this machine: two would install and remove the same package.
exec 9>/run/lock/imbrix-package-check
flock 9

work=$(mktemp -d)
installed=false
cleanup() {
  if $installed; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq imbrix \
      >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Paths under /usr before: a path that is new after the purge and that no
# package owns is a leftover.
find /usr -xdev -print 2>/dev/null | sort >"$work/before"

started=$SECONDS
echo "Installing $deb"
apt_get install -y -qq "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "apt-get install failed"; }
installed=true
dpkg -L imbrix >"$work/files"

# Every program and file the installed program takes from other packages comes
# with the package's dependencies: the package that holds it is among the
# installed packages imbrix depends on, directly or through others. The
# converter front's tools are its defaults in tools/magick/pipeline.h; the CMYK
# profile is imaging/colour.h's; the main window's icons are Breeze's.
apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances imbrix | grep -E '^[a-z0-9]' | sort -u >"$work/closure"
needed=$(grep -ohE '"/usr/(bin|share)/[^"]+"' "$root/tools/magick/pipeline.h" \
  "$root/imaging/colour.h" | tr -d '"' | sort -u)
needed+=$'\n/usr/share/icons/breeze/index.theme'
while IFS= read -r path; do
  [[ -e $path ]] || fail "$path, which the program uses, is not on this machine"
  owner=$(dpkg-query -S "$(readlink -f "$path")" | head -n1 | cut -d: -f1)
  grep -qxF "$owner" "$work/closure" ||
    fail "$path comes from $owner, which is not among the package's dependencies"
  printf '  %-50s %s\n' "$path" "$owner"
done <<<"$needed"

for f in /usr/bin/imbrix /usr/bin/imbrix-cli /usr/lib/imbrix/imbrix /usr/lib/imbrix/imbrix-cli \
  /usr/lib/imbrix/imbrix-jxrdecode /usr/lib/imbrix/imagemagick/magick /usr/lib/imbrix/license.txt \
  /usr/lib/imbrix/Languages/LanguageCodes.csv /usr/share/applications/imbrix.desktop \
  /usr/share/metainfo/io.github.kelvane.Imbrix.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/imbrix.svg /usr/share/icons/hicolor/256x256/apps/imbrix.png \
  /usr/share/bash-completion/completions/imbrix-cli; do
  [[ -e $f ]] || fail "the package did not install $f"
done
man -w imbrix-cli | grep -q '^/usr/share/man/man1/imbrix-cli\.1' || fail "man does not find imbrix-cli(1)"
man -w imbrix | grep -q '^/usr/share/man/man1/imbrix\.1' || fail "man does not find imbrix(1)"

# The installed commands, from a folder of their own and with a home of their
# own (the data folder of an installed program is the user's, never /usr).
mkdir -p "$work/home" "$work/out"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
expected="imbrix-cli $(sed -nE 's/^project\(Imbrix VERSION ([0-9]+\.[0-9]+).*/\1/p' "$root/CMakeLists.txt")"
cli_version=$(cd "$work" && /usr/bin/imbrix-cli --version)
[[ $cli_version == "$expected" ]] || fail "imbrix-cli --version says \"$cli_version\", not \"$expected\""
gui_version=$(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/imbrix --version)
[[ $gui_version == "${expected/imbrix-cli/imbrix}" ]] || fail "imbrix --version says \"$gui_version\""
echo "  $cli_version; $gui_version"

# A screenshot (not symmetric, no profile) to JPEG 2000 at quality 100 goes
# through the converter front and OpenJPEG, losslessly: ImageMagick reads back
# the same pixels.
source_png=$root/docs/screenshots/main-options.png
(cd "$work" && /usr/bin/imbrix-cli -f jp2 -q 100 --dest "$work/out" -- "$source_png") >"$work/run.log" 2>&1 ||
  { cat "$work/run.log" >&2; fail "the installed imbrix-cli could not convert $source_png"; }
output=$work/out/main-options.jp2
[[ -s $output ]] || fail "no output $output"
psnr=$(compare -metric PSNR "$source_png" "$output" null: 2>&1 || true)
[[ $psnr == inf ]] || fail "the JPEG 2000 output differs from its source (PSNR $psnr dB)"
echo "  $(basename "$source_png") -> JP2 through /usr/bin/imbrix-cli: $(identify -format '%wx%h' "$output"), PSNR $psnr"
[[ -z $(find "$work/home" -mindepth 1 -type f) ]] ||
  fail "the run left files in the data folder: $(find "$work/home" -type f)"

echo "Purging"
apt_get purge -y -qq imbrix >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge failed"; }
installed=false
if dpkg-query -W -f='${Status}' imbrix 2>/dev/null | grep -q 'installed'; then
  fail "imbrix is still installed after the purge"
fi

# Nothing the package installed is left, and nothing new that no package owns
# (the caches that the desktop's triggers rebuild are theirs).
while IFS= read -r f; do
  if [[ -e $f && ! -d $f ]]; then
    fail "$f is left after the purge"
  fi
done <"$work/files"
[[ -e /usr/lib/imbrix ]] && fail "/usr/lib/imbrix is left after the purge"
find /usr -xdev -print 2>/dev/null | sort >"$work/after"
leftovers=()
while IFS= read -r f; do
  case $f in
    */icon-theme.cache | */mimeinfo.cache) continue ;;
  esac
  dpkg-query -S "$f" >/dev/null 2>&1 || leftovers+=("$f")
done < <(comm -13 "$work/before" "$work/after")
((${#leftovers[@]} == 0)) || fail "left under /usr after the purge: ${leftovers[*]}"
echo "Package check passed in $((SECONDS - started)) s: installed, ran, purged, nothing left under /usr"
