#!/usr/bin/env bash
# Builds and runs the viewer benchmark: prints the time to read a full
# received history once (warm cache) and the time to open the viewer on it,
# then the time of "１件削除" on it beside one copy of the file with fsync.
#   bench/viewer/run.sh [build-dir] [records]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-bench}
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] ||
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_viewer -j2 >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/viewer/bench_viewer" ${2:+"$2"}
