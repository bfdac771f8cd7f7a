# Sourced by the shell tests: counted results, Windows paths of Linux files, and
# polling for a condition.

FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok:   $*"; }

# The path under which Wine's drive Z: shows a Linux file.
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# Polls a condition (a shell command) every 50 ms until it holds or the deadline passes.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.05
  done
}
