# Sourced by the scripts: the Wine environment of one build folder.
# Usage: source scripts/wine-env.sh BUILD_DIR
_vantrel_build="${1:?build folder}"
mkdir -p "$_vantrel_build"
export WINEPREFIX="$(cd "$_vantrel_build" && pwd)/${VANTREL_PREFIX_NAME:-wineprefix}"
export WINEARCH="${VANTREL_WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Creates the prefix once and waits for its first boot to finish; COM must not
# be used before that. Serialised with a lock so parallel tests can call it.
vantrel_wine_prefix() {
  if [[ -f "$WINEPREFIX/.vantrel-booted" ]]; then return 0; fi
  (
    flock 9
    if [[ ! -f "$WINEPREFIX/.vantrel-booted" ]]; then
      echo "wine: creating prefix $WINEPREFIX" >&2
      wineboot -i </dev/null >/dev/null 2>&1 || true
      wineserver -w
      touch "$WINEPREFIX/.vantrel-booted"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Starts a session in the prefix: a persistent wineserver and the prefix
# services, so programs start fast; every process of the prefix ends with the
# calling script (also on failure).
vantrel_wine_session() {
  vantrel_wine_prefix
  trap 'wineserver -k 2>/dev/null || true' EXIT
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

# Starts a session in a prefix of a script's own (beside the test session's
# prefix, which keeps running): its wineserver and services, ended with the
# calling script.
vantrel_wine_own_session() {
  vantrel_wine_prefix
  trap 'wineserver -k 2>/dev/null || true' EXIT
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
}
