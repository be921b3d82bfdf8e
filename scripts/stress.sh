#!/usr/bin/env bash
# Group-lifecycle stress in a prefix of its own:
#   scripts/stress.sh [ROUNDS] [SECONDS] [CLIENTS]
# Each round runs CLIENTS client processes adding, using and removing groups
# for SECONDS against one server. On a hang it prints every thread's stack of
# the prefix to build/stress-hang.txt and exits 1.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
rounds="${1:-10}"
seconds="${2:-60}"
clients="${3:-4}"
"$root/scripts/build.sh" "$build" >/dev/null
export VANTREL_PREFIX_NAME=wineprefix-stress
source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session
cd "$build"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
set +e
VANTREL_STRESS_KEEP=1 wine vantrel-stress.exe --clients "$clients" --seconds "$seconds" --rounds "$rounds" \
  --stall-seconds 30
rc=$?
set -e
if [[ $rc -eq 1 ]]; then
  winedbg --command "bt all" >"$build/stress-hang.txt" 2>/dev/null || true
  echo "stacks of every thread: $build/stress-hang.txt"
fi
exit $rc
