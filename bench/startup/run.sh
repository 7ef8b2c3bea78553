#!/usr/bin/env bash
# Builds and runs the start-up benchmark: the main window with both histories
# full against both histories empty, and the peak memory of each start.
#   bench/startup/run.sh [build-dir] [records]
set -euo pipefail
. "$(dirname "$0")/../support/build-and-run.sh"
build_bench bench_startup startup "${1:-}"
QT_QPA_PLATFORM=offscreen "$exe" ${2:+"$2"}
