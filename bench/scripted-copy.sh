#!/usr/bin/env bash
# One timed copy, driven the way a user's own script drives the tools: the bench's second
# harness (scripts/bench --mode scripted), a check on the first one's way of timing.
#
#   scripted-copy.sh tolva EXE PROBE WORKDIR LIST WINDEST DEST PER_START
#       A fresh tolva.exe (copied into WORKDIR) is started and left until its log says
#       "nothing to do"; DEST is emptied; then the clock runs from the first later start
#       `tolva.exe "src1;...;srcN;" "WINDEST"` (PER_START Windows paths from LIST, one a
#       line, each start waited for) until the log holds one "complete." line per file.
#       PROBE (tolva_probe.exe) finds the window and closes it afterwards, untimed.
#   scripted-copy.sh xcopy|copy WINSRC WINDEST DEST
#   scripted-copy.sh cp SRC DEST
#       DEST is emptied, then the tool copies every file of the folder, timed.
#
# Prints "wall=SECONDS" (and "starts=N" for Tolva). Exit codes: 0 done, 1 failed, 3 a
# later start became a second instance instead of handing its files over.
# Needs the bench's environment: `wine` on PATH, WINEPREFIX, DISPLAY.
set -uo pipefail

POLL=${SCRIPTED_POLL_SECONDS:-0.02}
TIMEOUT=${SCRIPTED_TIMEOUT_SECONDS:-600}

fail() {
  echo "scripted-copy: $*" >&2
  exit 1
}

empty() {
  mkdir -p "$1" && find "$1" -mindepth 1 -delete && sync
}

seconds_since() {
  awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f\n", b - a }'
}

copy_tool() {
  local tool=$1 start
  case $tool in
    xcopy | copy)
      [ $# -eq 4 ] || fail "usage: $tool WINSRC WINDEST DEST"
      empty "$4"
      start=$EPOCHREALTIME
      if [ "$tool" = xcopy ]; then
        wine 'C:\windows\system32\xcopy.exe' "$2\\*" "$3" /Y /Q </dev/null >/dev/null 2>&1
      else
        wine 'C:\windows\system32\cmd.exe' /c copy /Y "$2\\*" "$3" </dev/null >/dev/null 2>&1
      fi || fail "$tool failed"
      ;;
    cp)
      [ $# -eq 3 ] || fail "usage: cp SRC DEST"
      empty "$3"
      start=$EPOCHREALTIME
      cp -- "$2"/* "$3/" || fail "cp failed"
      ;;
  esac
  echo "wall=$(seconds_since "$start")"
}

# Whether the instance still runs, and how its log ends: what a failed start leaves.
instance_state() {
  if kill -0 "$instance" 2>/dev/null; then
    echo -n "still running"
  else
    wait "$instance"
    echo -n "ended with exit code $?"
  fi
  echo -n "; its log ends: $(tail -c 400 "$log" 2>/dev/null | tr '\n' '|')"
  echo -n "; Wine's errors: $(tail -c 400 "$work/wine-errors.txt" 2>/dev/null | tr '\n' '|')"
}

log_count() {
  grep -c -- "$1" "$log" 2>/dev/null
}

tolva() {
  [ $# -eq 7 ] || fail "usage: tolva EXE PROBE WORKDIR LIST WINDEST DEST PER_START"
  local exe=$1 probe=$2 work=$3 list=$4 windest=$5 dest=$6 per_start=$7
  mkdir -p "$work" && cp "$exe" "$work/tolva.exe" || fail "cannot set up $work"
  log=$work/tolva.exe.log
  cd "$work" || fail "no $work"
  # Wine's error lines: a start that dies before Tolva's log exists says nothing else.
  WINEDEBUG=err+all wine "$work/tolva.exe" </dev/null >/dev/null 2>"$work/wine-errors.txt" &
  instance=$!
  # The window's process id, to close it when done (output through a file: a background
  # program of Wine's would hold a pipe open).
  wine "$probe" wait --timeout 90000 </dev/null >"$work/window" 2>/dev/null ||
    fail "tolva.exe showed no window ($(instance_state))"
  window=$(sed -n 's/.*pid=\([0-9]*\).*/\1/p' "$work/window")
  local deadline=$((SECONDS + 90))
  until [ "$(log_count 'nothing to do$')" -gt 0 ]; do
    [ $SECONDS -lt $deadline ] && kill -0 "$instance" 2>/dev/null ||
      fail "tolva.exe never became idle ($(instance_state))"
    sleep "$POLL"
  done
  empty "$dest"

  local paths starts=0 start i
  mapfile -t paths <"$list"
  start=$EPOCHREALTIME
  for ((i = 0; i < ${#paths[@]}; i += per_start)); do
    local IFS=';'
    local group="${paths[*]:i:per_start}"
    unset IFS
    # A later start hands its files over and ends within a second; one that becomes a
    # second instance instead would run on, so it is given a minute.
    timeout -s KILL 60 wine "$work/tolva.exe" "$group;" "$windest" </dev/null >/dev/null 2>&1 ||
      lost_or_failed
    starts=$((starts + 1))
  done
  deadline=$((SECONDS + TIMEOUT))
  until [ "$(log_count '] - complete\.$')" -ge ${#paths[@]} ]; do
    [ "$(log_count 'start downloader thread$')" -le 1 ] || lost_or_failed
    [ $SECONDS -lt $deadline ] || fail "not every file complete after $TIMEOUT s"
    sleep "$POLL"
  done
  local wall
  wall=$(seconds_since "$start")
  close_window
  echo "starts=$starts"
  echo "wall=$wall"
}

lost_or_failed() {
  close_window
  if [ "$(log_count 'start downloader thread$')" -gt 1 ]; then
    echo "scripted-copy: a later start became a second instance" >&2
    exit 3
  fi
  fail "a later start of tolva.exe failed"
}

close_window() {
  if [ -n "$window" ]; then
    wine "$probe" close --pid "$window" --timeout 60000 </dev/null >/dev/null 2>&1
  fi
  kill -KILL "$instance" 2>/dev/null  # only when it did not close
  wait "$instance" 2>/dev/null
}

[ $# -ge 1 ] || fail "usage: scripted-copy.sh tolva|xcopy|copy|cp ..."
tool=$1
shift
case $tool in
  tolva) tolva "$@" ;;
  xcopy | copy | cp) copy_tool "$tool" "$@" ;;
  *) fail "unknown tool $tool" ;;
esac
