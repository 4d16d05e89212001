#!/usr/bin/env bash
# Installs what is missing, builds Imbrix and starts the desktop program.
# Arguments are handed to the program (files and folders to add to the list).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${IMBRIX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
exec "$build/bin/imbrix" "$@"
