#!/usr/bin/env bash
# Runs cross-process tests that leave COM in a state other tests must not see
# (a killed client, a killed server) in a Wine prefix of their own.
# Usage: isolated-test.sh BUILD_DIR GTEST_FILTER
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$1"
filter="$2"
export VANTREL_PREFIX_NAME=wineprefix-isolated
source "$here/wine-env.sh" "$build"
vantrel_wine_own_session
cd "$build"
wine regsvr32 /s vantrel_ps.dll
wine Vantrel.exe -RegServer
wine vantrel-serverlist.exe -RegServer
wine e2e_tests.exe --gtest_filter="$filter"
