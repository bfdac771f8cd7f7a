# Sourced by the shell tests: counted results and checks, Windows paths of Linux files, and
# polling for a condition.

FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok:   $*"; }
# check DESCRIPTION COMMAND...: a counted result of the command.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# has FILE TEXT: the file exists and holds the text.
has() { [ -f "$1" ] && grep -qF -- "$2" "$1"; }

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
