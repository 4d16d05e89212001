#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Imbrix needs.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev
  # imbrix-cli's JSON record (written and read back)
  nlohmann-json3-dev
  # codecs and raster
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libdeflate-dev libwebp-dev libtiff-dev
  libgif-dev libjxr-dev librsvg2-dev libxml2-dev libgdk-pixbuf-2.0-dev libjxl-dev libqpdf-dev
  libheif-dev
  libopenjp2-7-dev libimagequant-dev
  # colour management and metadata; the CMYK profile for JPEGs that carry none
  liblcms2-dev libexiv2-dev libgs-common
  # external converter back ends and the independent readers used by the tests
  imagemagick graphicsmagick libjxl-tools libjxr-tools webp libtiff-tools
  libheif1 libheif-examples libopenjp2-tools poppler-utils python3-pil
  libimage-exiftool-perl icc-profiles-free colord-data librsvg2-bin
  # desktop program
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  breeze-icon-theme xvfb xauth dbus-daemon libxcb1-dev
  # Japanese and Chinese texts: a small font with CJK glyphs
  fonts-droid-fallback
  # online services and languages
  libcurl4-openssl-dev libssl-dev libpcre2-dev libicu-dev libcpp-httplib-dev openssl
  # benchmarks
  libvips-tools time libavif-bin linux-perf strace
  # imbrix-cli over several processes and machines: GNU parallel, an sshd and
  # sshfs for the tests on the loopback; the linters of deploy/
  parallel openssh-server openssh-client sshfs shellcheck yamllint
  # manual pages (made from --help), and the checks of the desktop files, the
  # manual pages and the bash completion
  help2man desktop-file-utils appstream man-db bash-completion
)

# One query for all of them: the installed ones, by name.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null |
  awk '/ install ok installed$/ { print $1 }' || true)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! grep -qxF "$p" <<<"$installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
