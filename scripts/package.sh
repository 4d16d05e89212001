#!/usr/bin/env bash
# Builds the Debian package of Imbrix and checks it with lintian (an error fails).
#
#   scripts/package.sh           build build-deb/imbrix_<version>_<arch>.deb and lint it
#   scripts/package.sh --check   then install it on this machine with apt, run the
#                                installed imbrix-cli, purge the package and check
#                                that nothing of it is left under /usr (root only)
#
# The package is built by dpkg-buildpackage from a copy of the source tree as git
# knows it (no build folder gets in), in build-deb/ (or $IMBRIX_DEB_DIR). The
# copy's CMake folder is kept between runs, so a second run builds what changed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${IMBRIX_DEB_DIR:-$root/build-deb}
check=false
case ${1:-} in
  --check) check=true ;;
  "") ;;
  *)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac

"$root/scripts/install-deps.sh"
tools=(dpkg-dev debhelper lintian fakeroot)
missing=()
for p in "${tools[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} > 0)); then
  sudo=
  [[ $(id -u) -ne 0 ]] && sudo=sudo
  echo "Installing: ${missing[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
src=$out/imbrix-$version
deb=$out/imbrix_${version}_${arch}.deb
changes=$out/imbrix_${version}_${arch}.changes
log=$out/build.log
mkdir -p "$out"

# The source copy: tracked and new files, nothing git ignores; the CMake folder
# of the last run (obj-<triplet>) moves over to the new copy.
started=$SECONDS
obj=obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
if [[ -d $src/$obj ]]; then
  rm -rf "${out:?}/$obj"
  mv "$src/$obj" "$out/$obj"
fi
rm -rf "$src"
mkdir -p "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [[ -e $f || -L $f ]] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -xf - -C "$src"
else
  tar -C "$root" --exclude='./build*' --exclude='./.git' -cf - . | tar -xf - -C "$src"
fi
[[ -d $out/$obj ]] && mv "$out/$obj" "$src/$obj"

rm -f "$out"/imbrix_*.deb "$out"/imbrix-dbgsym_*.deb "$out"/imbrix_*.changes "$out"/imbrix_*.buildinfo
echo "Building the package (log: $log)"
if ! (cd "$src" && dpkg-buildpackage -us -uc -b -nc -j2) >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "package: dpkg-buildpackage failed (whole log: $log)" >&2
  exit 1
fi
# Debian's flags (hardening, fortify) must not bring compiler warnings either.
if grep -E '^[^ :]+:[0-9]+:([0-9]+:)? warning: ' "$log" >&2; then
  echo "package: the build has warnings (log: $log)" >&2
  exit 1
fi
grep -E '^dpkg-[a-z]+: warning: ' "$log" >&2 || true
echo "Built $deb in $((SECONDS - started)) s"
dpkg-deb -f "$deb" Depends Recommends

echo "lintian:"
if ! lintian --fail-on error --display-info --tag-display-limit 0 "$changes"; then
  echo "package: lintian found errors" >&2
  exit 1
fi
echo "lintian: no errors"

$check || exit 0
exec "$root/scripts/package-check.sh" "$deb"
