#!/usr/bin/env bash
# Measures, under this machine's Wine, what a ReadFile hung on the test share does:
# can another thread cancel it, how long the process takes to end around it (with the
# share answering interrupts and, for comparison, with a share that ignores them), and
# whether other Wine processes stay responsive meanwhile.
#   BUILD_DIR=... tests/testshare/experiments/run-hung-read.sh
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$ROOT/build}
here=$ROOT/tests/testshare
bin=$BUILD_DIR/tests/testshare
cmake --build "$BUILD_DIR" --target testshare_hungread testshare_daemon >/dev/null || exit 1

. "$ROOT/scripts/wine-env"
trap tolva_env_down EXIT
tolva_wine_up

# The same share without interrupt handling: a hung request then only ends on release.
deaf=$(mktemp -d)/testshare-deaf
sed 's/fuse_interrupted()/0/' "$here/testshare.c" > "$deaf.c"
cc -O2 -o "$deaf" "$deaf.c" $(pkg-config --cflags --libs fuse3) || exit 1

cases() {
  local share=${TOLVA_TEST_SHARE#Z:} ; share=${share//\\//}
  local backing=${TOLVA_TEST_SHARE_BACKING#Z:} ; backing=${backing//\\//}
  [ -n "$share" ] || { echo "no share"; return 1; }
  head -c 1048576 /dev/urandom > "$backing/hung.bin"
  head -c 262144 /dev/urandom > "$backing/other.bin"
  local exe=$bin/testshare_hungread.exe
  local hung="$TOLVA_TEST_SHARE\\hung.bin" other="$TOLVA_TEST_SHARE\\other.bin"
  ctl() { printf '%s\n' "$1" > "$share/.control"; }
  now() { date +%s%3N; }
  # Waits up to $2 ms for process $1 to end; prints the ms it took after $3.
  ended_within() {
    local start; start=$(now)
    while kill -0 "$1" 2>/dev/null; do
      [ $(( $(now) - start )) -ge "$2" ] && { echo "still running after $2 ms"; return 1; }
      sleep 0.01
    done
    echo "ended $(( $(now) - start )) ms after $3"
  }
  responsiveness() {
    local t; t=$(now); wine cmd.exe /c exit >/dev/null 2>&1; echo "  wine cmd /c exit meanwhile: $(( $(now) - t )) ms"
    echo "  other file meanwhile: $(wine "$exe" open "$other" 2>&1)"
  }

  echo "baseline: wine cmd /c exit $( t=$(now); wine cmd.exe /c exit >/dev/null 2>&1; echo $(( $(now) - t )) ) ms"
  # Starts the experiment program on the hung file and waits until it prints MARK;
  # sets out (its output file) and pid.
  start_hung_reader() {
    local mark=$1; shift
    ctl "hang-read hung.bin"
    out=$(mktemp)
    wine "$exe" "$@" "$hung" > "$out" 2>&1 &
    pid=$!
    for i in $(seq 1 100); do grep -q "^$mark" "$out" && break; sleep 0.05; done
  }
  local out pid
  for kind in sync overlapped; do
    start_hung_reader CancelSync cancel "$kind"
    echo "while a read hangs ($kind):"; responsiveness
    for i in $(seq 1 100); do grep -q '^done' "$out" && break; sleep 0.1; done
    ctl "release hung.bin"
    wait "$pid"
    echo "cancel ($kind):"; sed 's/^/  /' "$out"
  done
  for how in return exitprocess; do
    start_hung_reader exiting exit "$how"
    echo "exit via $how: $(ended_within "$pid" 5000 "leaving main")"
    if kill -0 "$pid" 2>/dev/null; then
      responsiveness
      ctl "release hung.bin"
      echo "  $(ended_within "$pid" 5000 "the release")"
    fi
    wait "$pid" 2>/dev/null
  done
}
export -f cases
export bin

echo "== share answering interrupts"
bash "$here/with-share.sh" "$bin/testshare" bash -c cases 2>/dev/null
echo "== share ignoring interrupts"
bash "$here/with-share.sh" "$deaf" bash -c cases 2>/dev/null
rm -rf "$(dirname "$deaf")"
