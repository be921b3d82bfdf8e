#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test
# under Wine in the build folder's own prefix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build"

# The documentation's plots can be rebuilt from the running server (a full
# run only; it has a Wine session of its own).
if [[ $# -eq 0 ]]; then
  "$root/scripts/plots.sh" "$build/plots"
fi

source "$root/scripts/wine-env.sh" "$build"
vantrel_wine_session

cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"

