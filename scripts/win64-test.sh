#!/usr/bin/env bash
# 64-bit clients: in a 64-bit Wine prefix of its own, the server and both
# proxy/stubs registered as the installer registers them (the 32-bit one in
# the 32-bit view, the 64-bit one in the 64-bit view), the wire tests of the
# 64-bit format strings, then the same client commands from the 32-bit and
# the 64-bit client, which must give the same results.
# Usage: win64-test.sh BUILD_DIR
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
export VANTREL_PREFIX_NAME=wineprefix64 VANTREL_WINEARCH=win64
source "$here/wine-env.sh" "$build"
vantrel_wine_own_session
cd "$build"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

wine 'C:\windows\syswow64\regsvr32.exe' /s vantrel_ps.dll || fail "32-bit proxy/stub registration"
wine 'C:\windows\system32\regsvr32.exe' /s vantrel_ps64.dll || fail "64-bit proxy/stub registration"
wine Vantrel.exe -RegServer || fail "server registration"
wine vantrel-serverlist.exe -RegServer || fail "server list registration"
wine reg query 'HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32' /reg:64 >/dev/null 2>&1 ||
  fail "IOPCServer has no proxy/stub in the 64-bit view"
wine reg query 'HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32' /reg:32 >/dev/null 2>&1 ||
  fail "IOPCServer has no proxy/stub in the 32-bit view"

echo "== wire tests of the 64-bit format strings"
wine proxy_wire_tests64.exe --gtest_brief=1 || fail "proxy_wire_tests64"

# Output without what differs from run to run: times, transaction numbers.
normalise() {
  sed -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}[ T][0-9:.]+Z?//g' -e 's/\(UTC *\)//g' \
         -e 's#[0-9]+/[0-9]+/[0-9]{4} [0-9:]+ [AP]M##g' -e 's/continuation point [^)]*/continuation point CP/' \
         -e 's/transaction [0-9]+/transaction N/g' -e 's/\r$//' \
         -e '/^(Start time|Current time|Last update|Client name)/d' -e 's/ +$//'
}
run() {  # run CLIENT ARGS... : output and exit code, normalised
  local client="$1"; shift
  local out rc
  out="$(wine "$client" "$@" 2>&1)"; rc=$?
  printf '%s\nexit %d\n' "$out" "$rc" | normalise
}
same() {  # the same result from both clients
  local a b
  a="$(run opcda-client.exe "$@")"
  b="$(run opcda-client64.exe "$@")"
  if [[ "$a" != "$b" ]]; then
    fail "opcda-client $*: the 64-bit client differs"
    diff <(echo "$a") <(echo "$b") | head -20
  else
    echo "ok: $* ($(echo "$a" | wc -l) lines)"
  fi
}
changes() {  # a live command: the same exit code, at least N lines of changes each
  local n="$1"; shift
  for client in opcda-client.exe opcda-client64.exe; do
    local out rc
    out="$(wine "$client" "$@" 2>&1)"; rc=$?
    local lines; lines=$(echo "$out" | grep -c "$CHANGE_PATTERN")
    if [[ $rc -ne 0 || $lines -lt $n ]]; then
      fail "$client $*: exit $rc, $lines lines matching '$CHANGE_PATTERN' (wanted $n)"
      echo "$out" | head -10
    else
      echo "ok: $client $* ($lines changes)"
    fi
  done
}

echo "== DA 3.0 paths"
same status
same browse
same browse --flat --filter '*o*'
same browse --max 2
same validate set4.period set4.nope
same read set4.period set4.t0 set4.on set4.nope
same read --cache set4.period
same write set5.period=250 set5.item=1
same properties set4.period set4.on
same async write set4.period=250 set4.item=1
same async read set4.period set4.t0
CHANGE_PATTERN='set6.item' changes 3 watch --rate 100 --for 2 --no-time --write set6.fct=Noise --write set6.on=on set6.item
echo "== DA 2.0 paths"
same --da2 status
same --da2 properties set4.period set4.on
same --da2 async read set4.period set4.t0
CHANGE_PATTERN='set6.item' changes 3 --da2 watch --rate 100 --for 2 --no-time --write set6.fct=Noise \
  --write set6.on=on set6.item
same read --max-age 0 set4.period
same write --vqt set5.t0=7
CHANGE_PATTERN='cancel\|completed' changes 1 async cancel set4.period
echo "== DA 1.0a paths (the stream blocks hold 32-bit VARIANT images)"
same --da1 status
same --da1 read set4.period set4.t0 set4.on
same --da1 async read set4.period set4.t0 set4.on
same --da1 async write set4.period=250 set4.item=1
CHANGE_PATTERN='set7.item' changes 3 --da1 watch --rate 100 --for 2 --no-time --write set7.fct=Noise \
  --write set7.on=on set7.item
echo "== the test server: every type and arrays on each version's path"
same --test write 'echo.array.i4=[1, 2, 3]' echo.cy=12.5 'echo.string=hello there' echo.date=2026-03-04T05:06:07.089
same --test read echo.array.i4 echo.array.string echo.i8 echo.ui8 echo.cy echo.date echo.string faults.read_error
same --test --da2 async read echo.array.string echo.array.r8 echo.array.date echo.int
same --test --da1 async read echo.array.string echo.array.i8 echo.array.cy echo.cy echo.string faults.read_error
echo "== the server list from 64-bit"
same servers

if [[ $failures -ne 0 ]]; then
  echo "win64: $failures failures"
  exit 1
fi
echo "win64: every check passed"
