#!/usr/bin/env bash
# Sets everything up on a fresh machine, builds, registers the server in the
# build folder's own Wine prefix, and runs the client against it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"
start=$SECONDS
stamp() { echo "== [$((SECONDS - start)) s] $*"; }

"$root/scripts/setup.sh"
stamp "packages ready"
# Only what the demo needs; the test command builds the rest.
"$root/scripts/build.sh" "$build" Vantrel vantrel_ps opcda-client vantrel-serverlist
stamp "built the server, the proxy/stub, the client and the server list"

source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session
stamp "Wine prefix ready"

cd "$build"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
wine vantrel-serverlist.exe -RegServer
stamp "registered the proxy/stub, the server and the OPC server list"
echo "== opcda-client servers"
wine opcda-client.exe servers
echo "== opcda-client status"
wine opcda-client.exe status
echo
echo "== switching on a Sine (set1), a Ramp (set2) and a Counter pulse (set3), then watching for ${VANTREL_DEMO_SECONDS:-6} s"
wine opcda-client.exe watch --rate 250 --for "${VANTREL_DEMO_SECONDS:-6}" \
  --write set1.on=on --write set1.fct=Sine --write set1.period=2000 \
  --write set2.on=on --write set2.fct=Ramp --write set2.period=3000 \
  --write set3.fct=Counter --write set3.period=1500 --write set3.on=on \
  set1.item set2.item set3.item
echo
echo "== the test server (Korvell.Vantrel.Test.1): a few typed values"
wine opcda-client.exe --test read echo.date echo.cy echo.array.i4 random.string faults.bad
