#!/usr/bin/env bash
# Sets everything up on a fresh machine, builds, registers the server in the
# build folder's own Wine prefix, and runs the client against it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session

cd "$build"
echo "== registering the proxy/stub and the server"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
echo "== opcda-client status"
wine opcda-client.exe status
