#!/usr/bin/env bash
# The installer in a fresh Wine prefix: a silent install after which the
# client works with no other step, a silent second run (upgrade), a silent
# uninstall that removes the class, the ProgIDs, the proxy/stub it put there
# and the files and leaves other OPC registrations alone, and an install
# beside another vendor's proxy/stub, which it leaves as it was.
# With "win64", the same in a 64-bit prefix, where the 64-bit proxy/stub is
# registered in the 64-bit view and the 64-bit client works too.
# Usage: installer-test.sh BUILD_DIR [win64]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
arch="${2:-win32}"
export VANTREL_PREFIX_NAME=wineprefix-installer-$arch VANTREL_WINEARCH=$arch
source "$here/wine-env.sh" "$build"

setup="$(ls "$build"/vantrel-setup-*.exe | head -1)"
version="$(basename "$setup" .exe)"
version="${version#vantrel-setup-}"

# A fresh prefix every run (its wineserver ended before it is deleted).
if [[ -d "$WINEPREFIX" ]]; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
fi
vantrel_wine_session

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@" >/dev/null 2>&1; then
    echo "ok:   $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}
absent() { ! "$@"; }
key() { wine reg query "$1" >/dev/null 2>&1; }
value() { wine reg query "$1" /ve ${2:-} 2>/dev/null | tr -d '\r' | awk '/REG_SZ/ {print $NF}'; }
contains() { grep -q -- "$2" <<<"$1"; }

# The 32-bit Program Files: "Program Files (x86)" on 64-bit Windows.
programs='Program Files'
[[ $arch == win64 ]] && programs='Program Files (x86)'
dir="$WINEPREFIX/drive_c/$programs/Korvell/Vantrel"
client="C:\\$programs\\Korvell\\Vantrel\\opcda-client.exe"
uninstaller="C:\\$programs\\Korvell\\Vantrel\\uninstall.exe"
clsid='HKCR\CLSID\{2720C8CC-C3A9-42F3-90D2-FAA16CC53782}'
proxy='HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel'
other_clsid='HKCR\CLSID\{6F0E1D2C-3B4A-4958-8776-655443322110}'
server_list='HKCR\CLSID\{13486D51-4821-11D2-A494-3CB306C10000}'
client64="C:\\$programs\\Korvell\\Vantrel\\opcda-client64.exe"

# Another vendor's OPC server, registered the way servers register.
wine reg add 'HKCR\Other.OpcServer.1\OPC' /v Vendor /d Other /f >/dev/null
wine reg add "$other_clsid\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}" /f >/dev/null

uninstall_and_wait() {
  # The uninstaller copies itself away and returns at once: wait for the files.
  wine "$uninstaller" /S
  for _ in $(seq 1 60); do
    [[ -e "$dir" ]] || break
    sleep 0.5
  done
  sleep 1  # the copy that ran the uninstall ends after removing the folder
}

echo "== silent install ($version) into a fresh prefix"
check "installer exits with 0" wine "$setup" /S
check "files in Program Files" test -f "$dir/Vantrel.exe" -a -f "$dir/opcda-client.exe" -a -f "$dir/vantrel_ps.dll" \
  -a -f "$dir/README.txt" -a -f "$dir/docs/opc-versions.md" -a -f "$dir/uninstall.exe"
check "class registered" key "$clsid\\LocalServer32"
check "ProgID registered" key 'HKCR\Korvell.Vantrel.1\CLSID'
check "test server class registered" key 'HKCR\Korvell.Vantrel.Test.1\CLSID'
check "proxy/stub registered (none was before)" test -n "$(value "$proxy")"
check "Add/Remove Programs entry" key "$uninstall_key"
check "server list registered (none was before)" key "$server_list\\LocalServer32"
servers="$(wine "$client" servers 2>&1 | tr -d '\r' || true)"
check "client lists the server through it" contains "$servers" "Korvell.Vantrel.1"
if [[ $arch == win64 ]]; then
  check "64-bit proxy/stub registered in the 64-bit view" test -n "$(value "$proxy" /reg:64)"
  check "32-bit proxy/stub registered in the 32-bit view" test -n "$(value "$proxy" /reg:32)"
  status64="$(wine "$client64" status 2>&1 | tr -d '\r' || true)"
  check "64-bit client status: running" contains "$status64" "State:        running"
  read64="$(wine "$client64" --da1 read set1.period 2>&1 | tr -d '\r' || true)"
  check "64-bit client 1.0a read" contains "$read64" "set1.period          1000 "
fi
status="$(wine "$client" status 2>&1 | tr -d '\r' || true)"
check "client status: running" contains "$status" "State:        running"
check "client status: version $version" contains "$status" "Version:      $version"
read_out="$(wine "$client" read set1.period 2>&1 | tr -d '\r' || true)"
check "client read" contains "$read_out" "set1.period          1000 "

echo "== silent second run (upgrade)"
check "installer exits with 0" wine "$setup" /S
status="$(wine "$client" status 2>&1 | tr -d '\r' || true)"
check "client status after the upgrade" contains "$status" "State:        running"
check "proxy/stub still registered" test -n "$(value "$proxy")"

echo "== silent uninstall"
uninstall_and_wait
check "files gone" absent test -e "$dir"
check "class gone" absent key "$clsid"
check "ProgIDs gone" absent key 'HKCR\Korvell.Vantrel.1'
check "version-independent ProgID gone" absent key 'HKCR\Korvell.Vantrel'
check "test server class gone" absent key 'HKCR\Korvell.Vantrel.Test.1'
check "proxy/stub it registered gone" test -z "$(value "$proxy")"
check "server list it registered gone" absent key "$server_list"
if [[ $arch == win64 ]]; then
  check "64-bit proxy/stub it registered gone" test -z "$(value "$proxy" /reg:64)"
fi
check "Add/Remove Programs entry gone" absent key "$uninstall_key"
check "the other server's ProgID stays" key 'HKCR\Other.OpcServer.1\OPC'
check "the other server's class stays" key "$other_clsid\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"
check "the OPC categories stay" key 'HKCR\Component Categories\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}'

echo "== a step that fails leaves nothing installed"
mkdir -p "$dir/opcda-client.exe"  # a folder where a file must go: the copy fails
rc=0
wine "$setup" /S >/dev/null 2>&1 || rc=$?
check "installer exits with an error" test "$rc" -ne 0
check "no server file left" absent test -e "$dir/Vantrel.exe"
check "no class left" absent key "$clsid"
check "no Add/Remove Programs entry" absent key "$uninstall_key"
check "no proxy/stub registration left" test -z "$(value "$proxy")"
rm -rf "$WINEPREFIX/drive_c/$programs/Korvell"

echo "== install beside another vendor's proxy/stub and server list"
foreign='{0BAD0BAD-1111-2222-3333-444455556666}'
wine reg add "$proxy" /ve /d "$foreign" /f >/dev/null
wine reg add "$server_list\\LocalServer32" /ve /d 'C:\other\opcenum.exe' /f >/dev/null
check "installer exits with 0" wine "$setup" /S
check "the other proxy/stub stays registered" test "$(value "$proxy")" = "$foreign"
check "no proxy/stub of ours installed" absent test -e "$dir/vantrel_ps.dll"
check "the other server list stays registered" test "$(value "$server_list\\LocalServer32")" = 'C:\other\opcenum.exe'
uninstall_and_wait
check "the other proxy/stub survives the uninstall" test "$(value "$proxy")" = "$foreign"
check "the other server list survives the uninstall" test "$(value "$server_list\\LocalServer32")" = 'C:\other\opcenum.exe'

if [[ $failures -ne 0 ]]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all installer checks passed"
