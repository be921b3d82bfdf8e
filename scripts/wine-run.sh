#!/usr/bin/env bash
# Runs a Windows program of the build under Wine (CTest's cross-compiling
# emulator). The prefix lives in the build folder and is created on first use.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${VANTREL_BUILD_DIR:-$(pwd)}"
# CTest runs in the build tree; find its top (the folder holding CMakeCache.txt).
while [[ ! -f "$build/CMakeCache.txt" && "$build" != "/" ]]; do build="$(dirname "$build")"; done
source "$here/wine-env.sh" "$build"
vantrel_wine_prefix
exec wine "$@"
