#!/usr/bin/env bash
# Configures and builds Imbrix into build/ (or $IMBRIX_BUILD_DIR).
# Extra arguments go to CMake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${IMBRIX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
