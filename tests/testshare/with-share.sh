#!/usr/bin/env bash
# with-share.sh DAEMON COMMAND [ARGS...]
# Runs COMMAND with a fresh misbehaving test share mounted: TOLVA_TEST_SHARE is its
# root and TOLVA_TEST_SHARE_BACKING the folder behind it, both as Wine paths (Z:\...).
# Without FUSE (or when the mount fails) both are empty and COMMAND still runs, so its
# tests can skip with a reason. Exits with COMMAND's exit code.
set -u
daemon=$1
shift

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tolva-share.XXXXXX") || exit 1
tmp=$(cd "$tmp" && pwd -P)
backing=$tmp/backing
mnt=$tmp/mnt
mkdir "$backing" "$mnt"
pid=""

winpath() { printf 'Z:%s' "${1//\//\\}"; }
mounted() { grep -qs " $mnt fuse" /proc/self/mounts; }

cleanup() {
  trap - EXIT INT TERM
  if [ -n "$pid" ]; then
    # Let every blocked request go before unmounting, so nothing holds the mount.
    mounted && timeout 5 sh -c 'printf "reset\n" > "$1/.control"' sh "$mnt" 2>/dev/null
    mounted && { fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null; }
    local i
    for i in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    # Closing /dev/fuse fails whatever is still waiting on the share.
    if kill "$pid" 2>/dev/null; then
      for i in $(seq 1 20); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    mounted && fusermount3 -uz "$mnt" 2>/dev/null
  fi
  mounted || rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

reason=""
if [ ! -c /dev/fuse ]; then
  reason="/dev/fuse is missing"
elif [ ! -x "$daemon" ]; then
  reason="$daemon was not built (needs libfuse3-dev and pkg-config)"
else
  "$daemon" "$backing" "$mnt" &
  pid=$!
  for i in $(seq 1 100); do
    mounted && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  mounted || reason="the share did not mount"
fi

if [ -z "$reason" ]; then
  export TOLVA_TEST_SHARE; TOLVA_TEST_SHARE=$(winpath "$mnt")
  export TOLVA_TEST_SHARE_BACKING; TOLVA_TEST_SHARE_BACKING=$(winpath "$backing")
else
  echo "with-share: no test share: $reason" >&2
  export TOLVA_TEST_SHARE="" TOLVA_TEST_SHARE_BACKING=""
fi

"$@"
rc=$?
cleanup
exit $rc
