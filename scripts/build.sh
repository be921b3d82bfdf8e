#!/usr/bin/env bash
# Configures and builds Vantrel into BUILD_DIR (default: build); with
# targets after it, only those (and what they need).
# Usage: build.sh [BUILD_DIR [TARGET...]]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
targets=()
for t in "$@"; do targets+=(--target "$t"); done
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
