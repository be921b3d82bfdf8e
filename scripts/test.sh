#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test
# under Wine in the build folder's own prefix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_prefix
# A persistent wineserver and the prefix services started now keep every test
# from paying for them; everything of this prefix ends with the run.
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1 || true

cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
