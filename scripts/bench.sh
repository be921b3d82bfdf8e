#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; prints their figures.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh" "$build" >/dev/null
source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session
cd "$build"
# The cross-process benchmark needs the server and the proxy/stub registered.
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
for b in bench_*.exe; do
  echo "== $b"
  wine "$b"
done
# The per-operation memory figures across processes as well.
echo "== bench_heap_ops.exe --remote"
wine bench_heap_ops.exe --remote
