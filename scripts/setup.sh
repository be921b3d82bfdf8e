#!/usr/bin/env bash
# Installs everything Vantrel needs to build and test on a Debian 12 machine.
# Run as root. Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  cmake make ca-certificates
  mingw-w64 mingw-w64-tools          # i686 cross compilers (posix threads), widl, windres
  wine wine32 wine64 libwine-dev     # runtime for tests and the demo; libwine-dev has the system .idl files
  googletest                          # GoogleTest sources, built for the target
  gnuplot-nox                         # plots in docs/
  nsis                                # makensis: the Windows installer
  util-linux                          # flock
)

missing=()
need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then need_i386=1; fi
for p in "${PACKAGES[@]}"; do
  [[ "$p" == \#* ]] && continue
  q="$p"
  [[ "$p" == wine32 ]] && q="wine32:i386"
  if ! dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [[ $need_i386 -eq 0 && ${#missing[@]} -eq 0 ]]; then
  echo "setup: all packages present"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
if [[ $need_i386 -eq 1 ]]; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
# A mirror in the middle of a sync can fail one index (seen: the i386 security
# index with the wrong size). The install is tried anyway; if the amd64 and
# i386 halves then cannot agree on versions, it is tried once more against
# the release's own suites only (the security suite left out for this step),
# where both halves come from the same index.
apt_install() {
  $SUDO apt-get "$@" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
$SUDO apt-get update -qq || echo "setup: apt-get update reported errors"
if apt_install; then
  echo "setup: done"
  exit 0
fi
alt="$(mktemp -d)"
trap 'rm -rf "$alt"' EXIT
mkdir -p "$alt/parts"
: >"$alt/sources.list"
[[ -f /etc/apt/sources.list ]] && grep -v -- '-security' /etc/apt/sources.list >"$alt/sources.list" || true
for f in /etc/apt/sources.list.d/*.sources; do
  [[ -f "$f" ]] && awk 'BEGIN{RS="";ORS="\n\n"} !/-security/' "$f" >"$alt/parts/$(basename "$f")"
done
for f in /etc/apt/sources.list.d/*.list; do
  [[ -f "$f" ]] && { grep -v -- '-security' "$f" >"$alt/parts/$(basename "$f")" || true; }
done
opts=(-o "Dir::Etc::SourceList=$alt/sources.list" -o "Dir::Etc::SourceParts=$alt/parts")
echo "setup: retrying without the security suite"
$SUDO apt-get "${opts[@]}" update -qq || echo "setup: apt-get update reported errors"
if apt_install "${opts[@]}"; then
  $SUDO apt-get update -qq >/dev/null 2>&1 || true
  echo "setup: done"
  exit 0
fi
echo "setup: the packages could not be installed" >&2
exit 1
