#!/usr/bin/env bash
# scripts/wine-test starts a program once more only when it failed at once and silent.
set -uo pipefail
run=$(dirname "$0")/../scripts/wine-test
count=$(mktemp)
trap 'rm -f "$count"' EXIT
fail=0
check() {  # check NAME EXPECTED_RC EXPECTED_STARTS SCRIPT
  : >"$count"
  output=$(bash "$run" bash -c "echo >>'$count'; $4")
  rc=$?
  starts=$(wc -l <"$count")
  if [ "$rc" -ne "$2" ] || [ "$starts" -ne "$3" ]; then
    echo "FAIL $1: code $rc after $starts starts, expected $2 after $3"
    echo "$output"
    fail=1
  fi
}
check "silent failure, then a pass" 0 2 '[ "$(wc -l <"'"$count"'")" -ge 2 ]'
check "silent failure twice" 7 2 'exit 7'
check "a failure that printed" 3 1 'echo "[ FAILED ] x"; exit 3'
check "a failure on stderr only" 4 1 'echo oops >&2; exit 4'
check "a pass" 0 1 'echo ok'
check "a silent slow failure" 5 1 'sleep 2.1; exit 5'
output=$(bash "$run" bash -c 'echo first; echo second >&2')
[ "$output" = $'first\nsecond' ] || { echo "FAIL output not passed through: $output"; fail=1; }
[ $fail -eq 0 ] && echo "wine-test: all cases passed"
exit $fail
