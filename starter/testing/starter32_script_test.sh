#!/usr/bin/env bash
# The 32-bit tolvastarter.dll as 32-bit script hosts meet it: registered with SysWOW64's
# regsvr32, created by 32-bit cscript by its ProgID, its call reaching the stand-in
# tolva.exe; then beside the 64-bit library, where removing either one must leave the
# other reachable by the same ProgID; then removed, leaving nothing behind.
#
# usage: starter32_script_test.sh <32-bit dll> <64-bit dll> <stand-in tolva.exe>
#                                 <64-bit wine loader>
# Runs in the prefix of scripts/test (WINEPREFIX). Without the 32-bit library, without
# Wine's 32-bit half, or on a kernel that runs no 32-bit programs it ends with exit code
# 77, which ctest reports as skipped.
set -uo pipefail

DLL32=$1
DLL64=$2
FAKE=$3
WINE64=$4

if [ -z "$DLL32" ] || [ ! -f "$DLL32" ]; then
  echo "SKIP: no 32-bit tolvastarter.dll (${DLL32:-the i686 compiler was not found})"
  exit 77
fi
[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set: run this through scripts/test"; exit 1; }
BUILD_DIR=${BUILD_DIR:-}
. "$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-env"
if ! why=$(tolva_runs_wine32); then
  echo "SKIP: $why"
  exit 77
fi
SYSWOW64=$WINEPREFIX/drive_c/windows/syswow64
if [ ! -f "$SYSWOW64/cscript.exe" ] || [ ! -f "$SYSWOW64/regsvr32.exe" ]; then
  echo "FAIL: $SYSWOW64 has no cscript.exe or regsvr32.exe: the prefix was made before"
  echo "      wine32 was installed; remove $WINEPREFIX and run scripts/test again"
  exit 1
fi
[ -x "$WINE64" ] || { echo "FAIL: no 64-bit Wine loader at '$WINE64'"; exit 1; }

CLSID='{C998F1AA-C1F7-4562-97B4-12087D1EA397}'
LIBID='{91DB5158-C493-46D2-A530-6E256B97E824}'
APP_PATH='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\tolva.exe'
SCRIPT=$(cd "$(dirname "$0")" && pwd)/start_by_name.js

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
# Each size of program with its own system tools, named by their folder.
run32() { wine "C:\\windows\\syswow64\\$1" "${@:2}" </dev/null 2>/dev/null | tr -d '\r'; }
run64() { "$WINE64" "C:\\windows\\system32\\$1" "${@:2}" </dev/null 2>/dev/null | tr -d '\r'; }

WORK=$(mktemp -d /tmp/tolva-starter32-test.XXXXXX)
RECORD=$WORK/starts.txt
export TOLVA_FAKE_RECORD
TOLVA_FAKE_RECORD=$(winpath "$RECORD")
W32=$(winpath "$DLL32")
W64=$(winpath "$DLL64")

cleanup() {
  run32 regsvr32.exe /s /u "$W32" >/dev/null
  run64 regsvr32.exe /s /u "$W64" >/dev/null
  run64 reg.exe delete "$APP_PATH" /f >/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok:   $*"; }
check() {  # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# The started stand-ins record themselves in their own time: wait for a line.
recorded() { [ -f "$RECORD" ] && grep -qxF "$1" <(tr -d '\r' <"$RECORD"); }
not_recorded() { ! recorded "$1"; }
wait_recorded() {
  local end=$((SECONDS + 30))
  until recorded "$1"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.05
  done
}
# A script host's run, by tag; prints its lines (arch:, progid:, clsid:). Wine's cscript
# exits 0 even when the script failed, so only what it printed and what arrived counts.
host() { "run$1" cscript.exe //nologo "$(winpath "$SCRIPT")" "$2"; }
value32() { run32 reg.exe query "$1" /ve | sed -n 's/^ *(Default) *REG_SZ *//p'; }
key64() { run64 reg.exe query "$1" >/dev/null; }
key32() { run32 reg.exe query "$1" >/dev/null; }
absent32() { ! key32 "$1"; }
absent_both() { ! key32 "$1" && ! key64 "$1"; }

# The name is found where the installer puts it: in the 64-bit view.
run64 reg.exe add "$APP_PATH" /ve /d "$(winpath "$FAKE")" /f >/dev/null

echo "== the 32-bit library alone"
check "SysWOW64 regsvr32 registers the 32-bit library" run32 regsvr32.exe /s "$W32"
got=$(value32 "HKCR\\CLSID\\$CLSID\\InprocServer32")
check "the 32-bit view names the 32-bit library ('$got')" test "${got,,}" = "${W32,,}"
check "the 32-bit view carries the ProgID" key32 'HKCR\Veduravevaredav.Starter\CLSID'
check "its type library is registered for win32" key64 "HKCR\\TypeLib\\$LIBID\\1.0\\409\\win32"
out=$(host 32 x86)
echo "$out" | sed 's/^/      host: /'
check "the host is a 32-bit program" grep -qx 'arch: x86' <<<"$out"
check "32-bit cscript creates the object by its ProgID" grep -qx 'progid: ok' <<<"$out"
check "its startDownload reached the program" wait_recorded "x86 by-progid"
if grep -qx 'clsid: ok' <<<"$out"; then
  check "created by CLSID, its call reached the program" wait_recorded "x86 by-clsid"
elif grep -qx 'clsid: 0x80004001' <<<"$out"; then
  echo "note: this Wine has no \"new:\" moniker (E_NOTIMPL): the CLSID route is not tried"
else
  fail "creation by CLSID failed: $(grep '^clsid:' <<<"$out")"
fi

echo "== beside the 64-bit library, one removed at a time"
check "the 64-bit library registers beside it" run64 regsvr32.exe /s "$W64"
check "removing the 32-bit library succeeds" run32 regsvr32.exe /s /u "$W32"
check "the 32-bit view has no class left" absent32 "HKCR\\CLSID\\$CLSID"
out=$(host 64 x64-kept)
check "64-bit cscript still creates the object by its ProgID" grep -qx 'progid: ok' <<<"$out"
check "and its call reaches the program" wait_recorded "x64-kept by-progid"
out=$(host 32 x86-gone)
check "32-bit cscript can no longer create it" grep -qx 'progid: 0x800a01ad' <<<"$out"

check "the 32-bit library registers again" run32 regsvr32.exe /s "$W32"
check "removing the 64-bit library succeeds" run64 regsvr32.exe /s /u "$W64"
out=$(host 32 x86-kept)
check "32-bit cscript still creates the object by its ProgID" grep -qx 'progid: ok' <<<"$out"
check "and its call reaches the program" wait_recorded "x86-kept by-progid"

echo "== the last library removed"
check "removing the 32-bit library succeeds" run32 regsvr32.exe /s /u "$W32"
for key in 'HKCR\Veduravevaredav.Starter' 'HKCR\Veduravevaredav.Starter.1' \
           "HKCR\\CLSID\\$CLSID" "HKCR\\TypeLib\\$LIBID"; do
  check "$key is gone from both views" absent_both "$key"
done
check "the failed creation started nothing" not_recorded "x86-gone by-progid"

if [ $FAILURES -ne 0 ]; then
  echo "$FAILURES check(s) failed"
  exit 1
fi
echo "all checks passed"
