#!/usr/bin/env bash
# with-samba.sh COMMAND [ARGS...]
# Runs COMMAND with a real SMB server behind \\fileserver\public: Samba's smbd on
# 127.0.0.1 at a free port of its own (a private configuration, guest access, in a
# session of its own: smbd ends its whole process group when it stops), reached through
# the SMB client smbnetfs mounted with FUSE, and that mount linked into the Wine prefix
# as dosdevices/unc/fileserver/public, so Windows programs see \\fileserver\public.
# The prefix must exist before the mount: Wine's set-up looks at every mount.
#
# Exports TOLVA_SMB_SHARE (\\fileserver\public), TOLVA_SMB_BACKING (the served folder as a
# Wine path, Z:\...), TOLVA_SMB_BACKING_UNIX (the same as a Linux path),
# TOLVA_SMB_MOUNT_UNIX (the share as the client's mount shows it to Linux programs) and
# TOLVA_SMB_CONTROL, a command line that takes "stop" or "start" for the server
# (with-samba.sh --server FOLDER stop|start).
# Without smbd, smbnetfs or FUSE they are empty and COMMAND still runs, so its tests can
# skip with the reason, which is printed. Exits with COMMAND's exit code.
set -u

# The server of the folder $tmp: its processes, stopped and started.
smbd_pids() { pgrep -f -- "-s $tmp/smb.conf" 2>/dev/null; }
stop_server() {
  local p i
  for p in $(smbd_pids); do kill "$p" 2>/dev/null; done
  for i in $(seq 1 50); do
    [ -z "$(smbd_pids)" ] && return 0
    sleep 0.1
  done
  for p in $(smbd_pids); do kill -9 "$p" 2>/dev/null; done
}
start_server() {
  local port i
  port=$(sed -n 's/^ *smb ports = //p' "$tmp/smb.conf")
  setsid smbd -F --no-process-group -s "$tmp/smb.conf" --debug-stdout -d 0 \
    >>"$tmp/smbd.out" 2>&1 </dev/null &
  for i in $(seq 1 100); do
    smbclient -N -p "$port" //127.0.0.1/public -c ls >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
if [ "${1:-}" = "--server" ]; then
  tmp=$2
  case "${3:-}" in
    stop) stop_server ;;
    start) start_server ;;
    *) echo "usage: with-samba.sh --server FOLDER stop|start" >&2; exit 2 ;;
  esac
  exit
fi

[ -n "${WINEPREFIX:-}" ] || { echo "with-samba: WINEPREFIX is not set" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tolva-samba.XXXXXX") || exit 1
tmp=$(cd "$tmp" && pwd -P)
share=$tmp/share
mnt=$tmp/mnt
unc=$WINEPREFIX/dosdevices/unc/fileserver
mkdir -p "$share" "$mnt" "$tmp/home/.smb" "$tmp/run"/{state,lock,pid,private,cache,ncalrpc}
chmod 755 "$tmp" "$share"
netfs_pid=""
mounted() { grep -qs " $mnt fuse" /proc/self/mounts; }

cleanup() {
  trap - EXIT INT TERM
  rm -f "$unc/public"
  rmdir "$unc" 2>/dev/null
  if mounted; then
    fusermount3 -u "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null ||
      fusermount3 -uz "$mnt" 2>/dev/null
  fi
  if [ -n "$netfs_pid" ]; then
    kill "$netfs_pid" 2>/dev/null
    wait "$netfs_pid" 2>/dev/null
  fi
  stop_server
  mounted || rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {
  local p
  for p in $(shuf -i 20000-60000 -n 50); do
    ss -Htln "sport = :$p" 2>/dev/null | grep -q . || { echo "$p"; return 0; }
  done
  return 1
}

reason=""
if ! command -v smbd >/dev/null || ! command -v smbnetfs >/dev/null ||
   ! command -v smbclient >/dev/null; then
  reason="samba, smbnetfs or smbclient is not installed (scripts/setup installs them)"
elif [ ! -c /dev/fuse ]; then
  reason="/dev/fuse is missing"
elif ! port=$(free_port); then
  reason="no free port for the server"
else
  cat >"$tmp/smb.conf" <<EOF
[global]
  server role = standalone server
  map to guest = Bad User
  guest account = nobody
  smb ports = $port
  interfaces = 127.0.0.1
  bind interfaces only = yes
  disable netbios = yes
  state directory = $tmp/run/state
  lock directory = $tmp/run/lock
  pid directory = $tmp/run/pid
  private dir = $tmp/run/private
  cache directory = $tmp/run/cache
  ncalrpc dir = $tmp/run/ncalrpc
  log file = $tmp/smbd.log
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
  unix charset = UTF-8
  # Names as they are: else NUL or AUX would be served as mangled 8.3 names.
  mangled names = no
  # Links inside the share are followed on the server, as a file server does.
  follow symlinks = yes
[public]
  path = $share
  guest ok = yes
  read only = no
  browseable = yes
EOF
  # The client's own settings, kept from the user's (the file must be the user's only).
  printf 'auth "guest" ""\nlocal_charset "utf-8"\nsmb_query_browsers "false"\n' \
    >"$tmp/home/.smb/smbnetfs.conf"
  printf '[global]\n  client min protocol = SMB2\n' >"$tmp/home/.smb/smb.conf"
  chmod 700 "$tmp/home/.smb"
  chmod 600 "$tmp/home/.smb"/*
  if ! start_server; then
    reason="smbd did not start: $(tail -n 3 "$tmp/smbd.out" "$tmp/smbd.log" 2>/dev/null | tr '\n' ' ')"
  else
    # direct_io: every read goes to the server, none is served from an earlier reader's
    # cache (a benchmark would otherwise time the client's memory, not the network).
    HOME=$tmp/home smbnetfs "$mnt" -f -o "config=$tmp/home/.smb/smbnetfs.conf,direct_io" \
      >"$tmp/smbnetfs.out" 2>&1 &
    netfs_pid=$!
    for i in $(seq 1 100); do
      mounted && break
      kill -0 "$netfs_pid" 2>/dev/null || break
      sleep 0.05
    done
    if ! mounted; then
      reason="smbnetfs did not mount: $(tail -n 2 "$tmp/smbnetfs.out" | tr '\n' ' ')"
    else
      mkdir -p "$unc"
      ln -sfn "$mnt/127.0.0.1:$port/public" "$unc/public"
    fi
  fi
fi

if [ -z "$reason" ]; then
  export TOLVA_SMB_SHARE='\\fileserver\public'
  export TOLVA_SMB_BACKING_UNIX=$share
  export TOLVA_SMB_MOUNT_UNIX=$mnt/127.0.0.1:$port/public
  export TOLVA_SMB_BACKING; TOLVA_SMB_BACKING="Z:${share//\//\\}"
  export TOLVA_SMB_CONTROL="bash $(cd "$(dirname "$0")" && pwd)/with-samba.sh --server $tmp"
else
  echo "with-samba: no SMB server: $reason" >&2
  export TOLVA_SMB_SHARE="" TOLVA_SMB_BACKING="" TOLVA_SMB_BACKING_UNIX="" TOLVA_SMB_CONTROL=""
  export TOLVA_SMB_MOUNT_UNIX=""
fi

"$@"
rc=$?
cleanup
exit $rc
