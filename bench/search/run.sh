#!/usr/bin/env bash
# Builds and runs the search benchmark on a full received history:
#   bench/search/run.sh [build-dir] [records]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${KORVEX_BUILD_DIR:-$root/build}}
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] ||
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_search -j2 >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/search/bench_search" ${2:+"$2"}
