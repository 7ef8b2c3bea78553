#!/usr/bin/env bash
# Builds and runs the receive benchmark against freshly started mail servers
# (as root, like the tests): bench/receive/run.sh [build-dir] [number of mails]
# The figures are taken with the default of 1000 mails; then 20 mails of
# 10 MB each in a process of their own, for the peak memory; then the four
# mails built to hurt the reader (tests/support/hostilemail), likewise; then
# the sixteen mails built to stall it, with the window's longest stall; then
# the receive with the search index kept up to date beside the plain one.
# The program folder and mpop's folders are made under $TMPDIR (/tmp when
# unset), the servers' under /tmp. Where files were deleted moments before
# (a busy /tmp), an ext4 without a journal makes each new file slowly, which
# weighs on every delivery that makes a file per mail but not on one mbox:
# to measure a program folder as users keep it, point TMPDIR at their home.
#
# bench/receive/run.sh --peers [build-dir] [mails] [rounds]
# The main window beside every peer: mpop into a maildir and into an mbox,
# Sylpheed and Claws Mail (Debian's packages, installed here when missing),
# headless on an Xvfb this script starts, on the same mails from the same
# Dovecot (1000 mails, 5 rounds by default). Twice: once with every folder
# (Korvex's program folder, mpop's, each peer's profile and store) on a
# journaled ext4 made anew in a loop image for this run, so that every run
# starts alike, as a user's home is; once on a tmpfs, where the disk is out
# of the picture. Needs root (mount, the servers, apt-get), losetup/loop
# devices, mkfs.ext4 (e2fsprogs), Xvfb and xdotool (scripts/install-deps);
# the image (4 GB, sparse) is made under $KORVEX_BENCH_FS_DIR (/tmp when
# unset). Everything it mounted, started or made goes on exit and on Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${1:-}" = --peers ]; then
  shift
  exec bash "$root/bench/receive/run-peers.sh" "$@"
fi
build=${1:-${KORVEX_BUILD_DIR:-$root/build}}
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target bench_receive -j2
dir=$(mktemp -d /tmp/korvex-bench.XXXXXX)
trap 'bash "$root/tests/servers/mailservers.sh" stop "$dir" >/dev/null; rm -rf "$dir"' EXIT
bash "$root/tests/servers/mailservers.sh" start "$dir"
export QT_QPA_PLATFORM=offscreen KORVEX_SERVERS_DIR=$dir
status=0
"$build/bench/receive/bench_receive" ${2:+"$2"} || status=$?
"$build/bench/receive/bench_receive" --large || status=$?
"$build/bench/receive/bench_receive" --hostile || status=$?
"$build/bench/receive/bench_receive" --budget || status=$?
"$build/bench/receive/bench_receive" --indexed ${2:+"$2"} || status=$?
exit $status
