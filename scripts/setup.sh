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
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
