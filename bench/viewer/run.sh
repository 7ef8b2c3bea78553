#!/usr/bin/env bash
# Builds and runs the viewer benchmark: prints the time to read a full
# received history once (warm cache) and the time to open the viewer on it,
# then the time of "１件削除" on it beside one copy of the file with fsync.
#   bench/viewer/run.sh [build-dir] [records]
set -euo pipefail
. "$(dirname "$0")/../support/build-and-run.sh"
build_bench bench_viewer viewer "${1:-}"
QT_QPA_PLATFORM=offscreen "$exe" ${2:+"$2"}
