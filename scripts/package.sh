#!/usr/bin/env bash
# Builds the release archive vantrel-<version>-win32.zip (the binaries, the
# docs and the installer) into the build folder and prints its path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build" release_archive
ls -1 "$build"/vantrel-*-win32.zip
