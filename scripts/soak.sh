#!/usr/bin/env bash
# A long soak in a prefix of its own: scripts/soak.sh MINUTES [CLIENTS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
minutes="${1:-30}"
clients="${2:-4}"
"$root/scripts/build.sh" "$build" >/dev/null
export VANTREL_PREFIX_NAME=wineprefix-soak
source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session
cd "$build"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
wine vantrel-soak.exe --clients "$clients" --seconds $((minutes * 60)) --sample-seconds 60
