#!/usr/bin/env bash
# scripts/run as a new user meets it: a fresh HOME (so a fresh Wine prefix and no default
# download folder yet), one file into a folder that does not exist yet. The file must
# arrive identical; Ctrl+C (SIGINT) must then close Tolva politely, its log reaching
# "download stopped", and end the script. A second run with the same HOME hands a file
# to the running Tolva, and a run that cannot work says why instead of ending silently.
#
# usage: run_test.sh  (under scripts/test, which sets BUILD_DIR and a display)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
[ -n "${DISPLAY:-}" ] && [ -n "${BUILD_DIR:-}" ] || { echo "run this through scripts/test"; exit 1; }
. "$ROOT/tests/script-support.sh"

WORK=$(mktemp -d "/tmp/tolva run test.XXXXXX")
export HOME=$WORK/home
mkdir -p "$HOME" "$WORK/src"
# scripts/run keeps its own prefix below HOME: none of the suite's.
unset WINEPREFIX
RUN_PID=""
cleanup() {
  if [ -n "$RUN_PID" ] && kill -0 "$RUN_PID" 2>/dev/null; then
    kill -INT "$RUN_PID" 2>/dev/null
    wait_for 30 gone "$RUN_PID"
    kill -KILL "$RUN_PID" 2>/dev/null
  fi
  WINEPREFIX=$HOME/.local/share/tolva/wine wineserver -k >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT
gone() { ! kill -0 "$1" 2>/dev/null; }
same() { cmp -s "$1" "$2"; }

head -c 3000000 /dev/urandom >"$WORK/src/first file.bin"
head -c 700000 /dev/urandom >"$WORK/src/second.bin"

echo "== first run with a fresh HOME"
# A background job of a script starts with SIGINT ignored unless job control is on.
set -m
"$ROOT/scripts/run" "$WORK/src/first file.bin" -- "$WORK/into" >"$WORK/run.out" 2>&1 &
RUN_PID=$!
set +m
arrived() { same "$WORK/src/first file.bin" "$WORK/into/first file.bin"; }
if wait_for 240 arrived; then
  pass "the file arrived identical in the folder given"
else
  fail "the file did not arrive within 240 s"
fi
check "the first run stored a default download folder ($HOME/Downloads)" test -d "$HOME/Downloads"

echo "== a second run hands its file to the running Tolva"
"$ROOT/scripts/run" "$WORK/src/second.bin" -- "$WORK/into" >"$WORK/run2.out" 2>&1
check "the second run ended with exit code 0" test $? -eq 0
check "it said so" has "$WORK/run2.out" "handed 1 file(s) to the running Tolva"
second_arrived() { same "$WORK/src/second.bin" "$WORK/into/second.bin"; }
check "its file arrived identical" wait_for 60 second_arrived

echo "== Ctrl+C"
kill -INT "$RUN_PID"
check "the script ended within 30 s" wait_for 30 gone "$RUN_PID"
wait "$RUN_PID" 2>/dev/null
check "Tolva's log, as the script showed it, reached \"download stopped\"" \
  has "$WORK/run.out" "download stopped"
# Tolva, its wineserver and Wine's own processes all carry the prefix in their
# environment.
no_prefix_process() {
  ! grep -lsF "WINEPREFIX=$HOME/.local/share/tolva/wine" /proc/[0-9]*/environ >/dev/null
}
check "no process of its Wine prefix is left" wait_for 20 no_prefix_process
RUN_PID=""
sed 's/^/      run: /' "$WORK/run.out" | tail -n 12

echo "== a run that cannot work says why"
# A folder the user cannot have: a file stands where the folder should be.
touch "$WORK/not a folder"
"$ROOT/scripts/run" "$WORK/src/second.bin" -- "$WORK/not a folder/x" >"$WORK/run3.out" 2>&1
rc=$?
check "exit code is not 0 ($rc)" test $rc -ne 0
check "it printed why" grep -q '^run: ' "$WORK/run3.out"
sed 's/^/      run: /' "$WORK/run3.out" | tail -n 3

if [ $FAILURES -ne 0 ]; then
  echo "$FAILURES check(s) failed"
  echo "      the first run printed:"
  sed 's/^/        /' "$WORK/run.out"
  exit 1
fi
echo "all checks passed"
