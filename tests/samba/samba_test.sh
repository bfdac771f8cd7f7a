#!/usr/bin/env bash
# The real program against a real SMB server by UNC path (\\fileserver\public, see
# with-samba.sh), as a user meets one: a file, a folder tree with what real servers
# serve (a subfolder the server refuses, a link on the server that leads back up, names
# in other scripts, names Windows reserves, paths over 260 characters), the share's root
# as a source, and the server stopped in the middle of a big file and started again.
#
# The files come by every road: the command line, a hand-off, the automation object from
# a script host, and "Download..." of the context-menu handler.
#
# usage: with-samba.sh samba_test.sh <tolva.exe> <tolva_probe.exe> <tolvastarter.dll>
#                                    <tolvashell.dll> <shell_menu_invoke.exe>
# Runs in the suite's Wine prefix and display (scripts/test); exit code 77 = skipped.
set -uo pipefail
TOLVA=$1
PROBE=$2
STARTER=$3
SHELLEXT=$4
MENU=$5
[ -n "${DISPLAY:-}" ] && [ -n "${WINEPREFIX:-}" ] || { echo "run this through scripts/test"; exit 1; }
if [ -z "${TOLVA_SMB_SHARE:-}" ]; then
  echo "SKIP: no SMB server (see with-samba's line above)"
  exit 77
fi
. "$(cd "$(dirname "$0")/.." && pwd)/script-support.sh"

WORK=$(mktemp -d "/tmp/tolva samba.XXXXXX")
PROG=$WORK/program
OUT=$WORK/out
SRV=$TOLVA_SMB_BACKING_UNIX
LOG=$PROG/tolva.exe.log
mkdir -p "$PROG" "$OUT"
cp "$TOLVA" "$PROG/tolva.exe"
PID=""
APP_PATH='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\tolva.exe'
DEFAULT_FOLDER=$(wine reg query 'HKCU\Software\Tolva' /v DefaultDownloadFolder 2>/dev/null |
                 tr -d '\r' | sed -n 's/^ *DefaultDownloadFolder *REG_SZ *//p')
cleanup() {
  [ -n "$PID" ] && wine "$PROBE" close --pid "$PID" --timeout 20000 >/dev/null 2>&1
  wine regsvr32 /s /u "$(winpath "$STARTER")" >/dev/null 2>&1 </dev/null
  wine regsvr32 /s /u "$(winpath "$SHELLEXT")" >/dev/null 2>&1 </dev/null
  wine reg delete "$APP_PATH" /f >/dev/null 2>&1 </dev/null
  if [ -n "$DEFAULT_FOLDER" ]; then
    wine reg add 'HKCU\Software\Tolva' /v DefaultDownloadFolder /d "$DEFAULT_FOLDER" /f \
      >/dev/null 2>&1 </dev/null
  fi
  chmod -R u+rwx "$SRV" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
# A program left running by an earlier test would take our hand-offs.
wine taskkill /F /IM tolva.exe >/dev/null 2>&1 </dev/null

start_program() {
  (cd "$WORK" && setsid wine "$PROG/tolva.exe" "$@" >/dev/null 2>&1 </dev/null &)
  PID=$(wine "$PROBE" wait --timeout 60000 2>/dev/null | tr -d '\r' | sed -n 's/.*pid=\([0-9]*\).*/\1/p')
  [ -n "$PID" ]
}
# A later start hands its sources to the running program.
hand_over() { (cd "$WORK" && wine "$PROG/tolva.exe" "$@" >/dev/null 2>&1 </dev/null); }
close_program() {
  wine "$PROBE" close --pid "$PID" --timeout 30000 >/dev/null 2>&1
  local rc=$?
  PID=""
  return $rc
}
# The same bytes and the same last-write time as the file on the server.
same_file() { cmp -s "$1" "$2" && [ "$(stat -c %Y "$1")" = "$(stat -c %Y "$2")" ]; }

# What the server holds.
head -c 3000000 /dev/urandom >"$SRV/report.bin"
touch -d '2024-03-01 10:00:00' "$SRV/report.bin"
mkdir -p "$SRV/tree/a/b" "$SRV/tree/locked" "$SRV/tree/sub" "$SRV/tree/empty"
for f in tree/top.txt tree/a/one.bin tree/a/b/two.bin tree/sub/three.bin tree/locked/secret.bin; do
  head -c $((RANDOM * 7 + 1)) /dev/urandom >"$SRV/$f"
done
# Refused by the server: its guest cannot read it.
chmod 700 "$SRV/tree/locked"
# A link on the server that leads back up: the server follows it, the client sees a folder.
ln -s .. "$SRV/tree/sub/loop"
names=("Отчёт за март.txt" "報告書.txt" "con.txt")
for n in "${names[@]}"; do printf '%s\n' "$n" >"$SRV/tree/$n"; done
printf 'reserved\n' >"$SRV/tree/NUL"
mkdir -p "$SRV/tree/AUX"
printf 'in a folder of a reserved name\n' >"$SRV/tree/AUX/in aux.txt"
# A path over 260 characters on the server.
long="$SRV/tree/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})"
mkdir -p "$long"
printf 'deep\n' >"$long/deep.txt"

# "Download..." of the context menu goes into the default download folder.
mkdir -p "$OUT/menu"
wine reg add 'HKCU\Software\Tolva' /v DefaultDownloadFolder /d "$(winpath "$OUT/menu")" /f \
  </dev/null >/dev/null 2>&1

echo "== a file by UNC path, first start"
start_program "$TOLVA_SMB_SHARE\\report.bin" "$(winpath "$OUT")" || { fail "no window"; exit 1; }
check "report.bin arrived identical, with the server's last-write time" \
  wait_for 60 same_file "$SRV/report.bin" "$OUT/report.bin"

echo "== a folder tree by UNC path, handed over"
hand_over "$TOLVA_SMB_SHARE\\tree" "$(winpath "$OUT")"
for f in top.txt a/one.bin a/b/two.bin sub/three.bin "${names[0]}" "${names[1]}"; do
  check "tree/$f arrived identical" wait_for 90 same_file "$SRV/tree/$f" "$OUT/tree/$f"
done
check "the empty folder was made" test -d "$OUT/tree/empty"
check "the file over 260 characters arrived" \
  wait_for 30 same_file "$long/deep.txt" "$OUT/tree/${long#"$SRV/tree/"}/deep.txt"
# Names Windows reserves are read as the files they are, and saved under a safe name.
check "con.txt arrived as _con.txt" wait_for 30 same_file "$SRV/tree/con.txt" "$OUT/tree/_con.txt"
check "NUL arrived as _NUL" wait_for 30 same_file "$SRV/tree/NUL" "$OUT/tree/_NUL"
check "the folder AUX arrived as _AUX, not skipped" \
  wait_for 30 same_file "$SRV/tree/AUX/in aux.txt" "$OUT/tree/_AUX/in aux.txt"
check "the folder task ended: its listing line counts the folder it could not list" \
  wait_for 60 grep -qE '\[tree\] - folder listed: .*1 (sub)?folders? could not be listed' "$LOG"
check "the refused subfolder is named in the log" \
  grep -qF 'cannot list tree\locked' "$LOG"
check "nothing of the refused subfolder was copied" test ! -e "$OUT/tree/locked/secret.bin"
check "the link back up was cut where it starts, and named" \
  grep -qF 'tree\sub\loop' "$LOG"
check "no tree below the link" test ! -e "$OUT/tree/sub/loop/sub"
grep -E '\[tree\] - (cannot list|left out|folder listed)' "$LOG" | sed 's/^/      log: /'
sleep 6
check "the folder is not listed again" test "$(grep -c '\[tree\] - is a folder' "$LOG")" -eq 1

echo "== through the automation object and the context menu"
# As setup leaves them: both libraries registered, the bare name found by App Paths.
wine regsvr32 /s "$(winpath "$STARTER")" </dev/null >/dev/null 2>&1
wine regsvr32 /s "$(winpath "$SHELLEXT")" </dev/null >/dev/null 2>&1
wine reg add "$APP_PATH" /ve /d "$(winpath "$PROG/tolva.exe")" /f </dev/null >/dev/null 2>&1
head -c 900000 /dev/urandom >"$SRV/by script.bin"
head -c 500000 /dev/urandom >"$SRV/by menu.bin"
cat >"$WORK/start.js" <<'END'
new ActiveXObject("Veduravevaredav.Starter").startDownload(
    '"' + WScript.Arguments(0) + '" "' + WScript.Arguments(1) + '"');
END
(cd "$WORK" && wine cscript //nologo "$(winpath "$WORK/start.js")" \
   "$TOLVA_SMB_SHARE\by script.bin" "$(winpath "$OUT")" </dev/null >/dev/null 2>&1)
check "a script's startDownload of a UNC path arrived identical" \
  wait_for 60 same_file "$SRV/by script.bin" "$OUT/by script.bin"
# "Download..." goes into the default download folder, set before the first start.
(cd "$WORK" && wine "$MENU" "$TOLVA_SMB_SHARE\by menu.bin" </dev/null >/dev/null 2>&1)
check "Download... of a UNC path in the context menu arrived identical" \
  wait_for 60 same_file "$SRV/by menu.bin" "$OUT/menu/by menu.bin"

echo "== the share's root"
rm -rf "$SRV/tree"
hand_over "$TOLVA_SMB_SHARE" "$(winpath "$OUT")"
check "the share's root downloads into a folder named after the share" \
  wait_for 60 same_file "$SRV/report.bin" "$OUT/public/report.bin"

echo "== the server stopped in the middle of a big file, started again 15 s later"
head -c 400000000 /dev/urandom >"$SRV/big.bin"
hand_over "$TOLVA_SMB_SHARE\\big.bin" "$(winpath "$OUT")"
started() { [ -f "$OUT/big.bin" ] && [ "$(stat -c %s "$OUT/big.bin")" -gt 0 ]; }
wait_for 60 started || fail "big.bin did not start"
wine "$PROBE" watch --pid "$PID" --stop "$(winpath "$WORK/watch.stop")" \
  >"$WORK/watch.out" 2>/dev/null </dev/null &
watch_pid=$!
$TOLVA_SMB_CONTROL stop
sleep 15
$TOLVA_SMB_CONTROL start
check "big.bin completed identical without a click" \
  wait_for 240 cmp -s "$SRV/big.bin" "$OUT/big.bin"
touch "$WORK/watch.stop"
wait "$watch_pid"
worst=$(tr -d '\r' <"$WORK/watch.out" | grep -o 'worst_answer_ms=[0-9]*' | cut -d= -f2)
check "the window answered within 200 ms throughout (worst ${worst:-?} ms)" \
  test -n "$worst" -a "${worst:-999}" -le 200
check "meanwhile the task waited with Windows' reason" \
  grep -qE '\[big\] - cannot open the source: .+' "$LOG"
check "and went on where it stood" grep -qE '\[big\] - goes on at byte [1-9]' "$LOG"
close_program || fail "the program did not close"

if [ $FAILURES -ne 0 ]; then
  echo "$FAILURES check(s) failed; the program's log:"
  sed 's/^/      /' "$LOG" | tail -n 40
  exit 1
fi
echo "all checks passed"
