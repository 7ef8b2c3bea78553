#!/usr/bin/env bash
# The receive beside every peer, on a fresh journaled ext4 and on a tmpfs:
#   bench/receive/run.sh --peers [build-dir] [mails] [rounds]
# (see run.sh). Run as root: it mounts a loop image and a tmpfs, starts the
# mail servers of tests/servers and an Xvfb, and installs Sylpheed and Claws
# Mail from Debian when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then build=$1; shift; fi
mails=${1:-1000}
rounds=${2:-5}

[ "$(id -u)" = 0 ] || { echo "run.sh --peers: run as root (mount, mail servers, apt-get)" >&2; exit 1; }
for tool in mkfs.ext4 mount umount losetup truncate Xvfb xdotool openssl; do
  command -v "$tool" >/dev/null || { echo "run.sh --peers: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done
# The peers come from Debian; they are needed by this benchmark only.
missing=()
for p in sylpheed claws-mail; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "run.sh --peers: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target bench_receive -j2
exe=$build/bench/receive/bench_receive

servers=$(mktemp -d /tmp/korvex-bench.XXXXXX)
fsroot=$(mktemp -d "${KORVEX_BENCH_FS_DIR:-/tmp}/korvex-bench-fs.XXXXXX")
xvfb_pid=
bench_pid=
mounted=()

# Ends the peers a run left behind (their folders name their pids), so that
# nothing holds the mount.
stop_peers() {
  local pidfile
  for pidfile in "$1"/*/peer-*/pid; do
    [ -e "$pidfile" ] && DISPLAY=${DISPLAY:-:none} bash "$root/bench/receive/peer.sh" stop "$(dirname "$pidfile")" || true
  done
}
release() {       # mount point: unmount it, a few tries while the last files close
  local m=$1 i
  stop_peers "$m"
  for i in 1 2 3 4 5 6 7 8 9 10; do
    umount "$m" 2>/dev/null && return 0
    sleep 0.5
  done
  echo "run.sh --peers: $m is busy; unmounted lazily" >&2
  umount -l "$m" 2>/dev/null || true
}
cleanup() {
  local m
  trap - EXIT INT TERM
  if [ -n "$bench_pid" ] && kill -0 "$bench_pid" 2>/dev/null; then
    kill -TERM "$bench_pid" 2>/dev/null || true
    wait "$bench_pid" 2>/dev/null || true
  fi
  for m in "${mounted[@]}"; do release "$m"; done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  bash "$root/tests/servers/mailservers.sh" stop "$servers" >/dev/null || true
  rm -rf "$servers"
  # The loop image and mount points: only once nothing is mounted there.
  grep -q " $fsroot/" /proc/mounts || rm -rf "$fsroot"
}
trap cleanup EXIT
trap 'echo "run.sh --peers: interrupted" >&2; exit 130' INT TERM

bash "$root/tests/servers/mailservers.sh" start "$servers"
export QT_QPA_PLATFORM=offscreen KORVEX_SERVERS_DIR=$servers
export KORVEX_PEER_SCRIPT=$root/bench/receive/peer.sh

# One X server for the peers' windows, on a display number it picks itself.
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$fsroot/display" >"$fsroot/xvfb.log" 2>&1 &
xvfb_pid=$!
for i in $(seq 100); do [ -s "$fsroot/display" ] && break; sleep 0.1; done
[ -s "$fsroot/display" ] || { echo "run.sh --peers: Xvfb did not start ($fsroot/xvfb.log)" >&2; exit 1; }
export DISPLAY=:$(tr -dc 0-9 <"$fsroot/display")

status=0
for fs in ext4 tmpfs; do
  mnt=$fsroot/$fs
  mkdir -p "$mnt"
  if [ $fs = ext4 ]; then
    # Made anew for this run, with its inode tables and journal written at
    # once, so no background initialisation runs while the clock does.
    truncate -s 4G "$fsroot/ext4.img"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$fsroot/ext4.img"
    mount -o loop "$fsroot/ext4.img" "$mnt"
    label="a fresh journaled ext4 (loop image)"
  else
    mount -t tmpfs -o size=4G,mode=0700 tmpfs "$mnt"
    label="a tmpfs"
  fi
  mounted+=("$mnt")
  chmod 700 "$mnt"
  echo "== every folder on $label: $mnt"
  # In the background and waited for, so that Ctrl-C reaches the trap at once.
  TMPDIR=$mnt "$exe" --peers "$mails" "$rounds" &
  bench_pid=$!
  wait "$bench_pid" || status=$?
  bench_pid=
  release "$mnt"
  mounted=("${mounted[@]:0:${#mounted[@]}-1}")
  rm -f "$fsroot/ext4.img"
done
exit $status
