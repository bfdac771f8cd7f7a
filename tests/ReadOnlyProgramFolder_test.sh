#!/usr/bin/env bash
# The program in a folder that really cannot be written (a read-only bind mount: the
# tests run as root, and Wine enforces no file permissions, so neither chmod nor an ACL
# would stop a write): its task list and log go to the user's %LOCALAPPDATA%\Tolva,
# an unfinished task survives a restart there and completes, and the first run stores
# the Downloads folder as the default download folder.
#
# usage: ReadOnlyProgramFolder_test.sh <tolva.exe> <tolva_probe.exe>
# Runs in the suite's Wine prefix and display (scripts/test); exit code 77 = skipped.
set -uo pipefail
TOLVA=$1
PROBE=$2
[ -n "${DISPLAY:-}" ] && [ -n "${WINEPREFIX:-}" ] || { echo "run this through scripts/test"; exit 1; }

WORK=$(mktemp -d "/tmp/tolva read-only.XXXXXX")
PROG=$WORK/program
mkdir -p "$PROG" "$WORK/src" "$WORK/out"
cp "$TOLVA" "$PROG/tolva.exe"
cleanup() {
  [ -n "${PID:-}" ] && wine "$PROBE" close --pid "$PID" --timeout 20000 >/dev/null 2>&1
  mountpoint -q "$PROG" && umount "$PROG"
  rm -rf "$WORK"
}
trap cleanup EXIT
if ! mount --bind "$PROG" "$PROG" 2>/dev/null || ! mount -o remount,ro,bind "$PROG" 2>/dev/null; then
  echo "SKIPPED: a read-only bind mount needs root and mount rights here"
  exit 77
fi
if touch "$PROG/probe" 2>/dev/null; then echo "FAIL: the program folder is writable"; exit 1; fi

. "$(dirname "$0")/script-support.sh"

USER_DIR=$(ls -d "$WINEPREFIX/drive_c/users/"*/AppData/Local 2>/dev/null | grep -v /Public/ | head -n 1)
[ -n "$USER_DIR" ] || { echo "FAIL: no AppData\\Local folder in the prefix"; exit 1; }
DATA=$USER_DIR/Tolva
rm -rf "$DATA"
wine reg delete 'HKCU\Software\Tolva' /v DefaultDownloadFolder /f >/dev/null 2>&1
# A program left running by an earlier test that timed out would take our hand-offs.
wine taskkill /F /IM tolva.exe >/dev/null 2>&1 </dev/null

start_program() {
  (cd "$WORK" && setsid wine "$PROG/tolva.exe" "$@" >/dev/null 2>&1 </dev/null &)
  PID=$(wine "$PROBE" wait --timeout 60000 2>/dev/null | tr -d '\r' | sed -n 's/.*pid=\([0-9]*\).*/\1/p')
  [ -n "$PID" ]
}
close_program() {
  wine "$PROBE" close --pid "$PID" --timeout 30000 >/dev/null 2>&1
  local rc=$?
  PID=""
  return $rc
}

echo "== first start, from a read-only folder, with a source that is not there yet"
SOURCE=$WORK/src/late.bin
start_program "$(winpath "$SOURCE");" "$(winpath "$WORK/out")" || { fail "no window"; exit 1; }
if wait_for 30 has "$DATA/tolva.info" "late.bin"; then
  pass "the unfinished task is listed in the per-user folder"
else
  fail "no task list in $DATA"
fi
has "$DATA/tolva.exe.log" "The program's folder cannot be written: the task list and the log are kept in" &&
  pass "the log says where the data is" || fail "no log line on the data folder in $DATA/tolva.exe.log"
has "$DATA/tolva.exe.log" "First run: files go to the Downloads folder, " &&
  pass "the first run is logged" || fail "the first run is not logged"
stored=$(wine reg query 'HKCU\Software\Tolva' /v DefaultDownloadFolder 2>/dev/null | tr -d '\r' |
         sed -n 's/^ *DefaultDownloadFolder *REG_SZ *//p')
case "$stored" in
  *\\Downloads) pass "the default download folder is $stored" ;;
  *) fail "the default download folder is '$stored', not the Downloads folder" ;;
esac
close_program || fail "the program did not close"
has "$DATA/tolva.info" "late.bin" && pass "the list kept the task at close" ||
  fail "the task is not in the list after the close"

echo "== second start: the task comes back from the per-user list and completes"
head -c 300000 /dev/urandom >"$SOURCE"
start_program || { fail "no window at the second start"; exit 1; }
if wait_for 90 cmp -s "$SOURCE" "$WORK/out/late.bin"; then
  pass "the task completed after the restart, byte for byte"
else
  fail "the file did not arrive after the restart"
fi
wait_for 30 has "$DATA/tolva.exe.log" "[late] - complete." ||
  fail "no completion line in the per-user log"
close_program || fail "the program did not close the second time"
[ -z "$(ls -A "$PROG" | grep -v '^tolva.exe$')" ] && pass "nothing was written beside the program" ||
  fail "files appeared beside the program: $(ls -A "$PROG")"

rm -rf "$DATA"
if [ $FAILURES -ne 0 ]; then
  echo "$FAILURES check(s) failed"
  exit 1
fi
echo "all checks passed"
