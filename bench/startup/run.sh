#!/usr/bin/env bash
# Builds and runs the start-up benchmark: the main window with both histories
# full against both histories empty, and the peak memory of each start.
#   bench/startup/run.sh [build-dir] [records]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${KORVEX_BUILD_DIR:-$root/build}}
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] ||
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_startup -j2 >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/startup/bench_startup" ${2:+"$2"}
