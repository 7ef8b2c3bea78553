#!/usr/bin/env bash
# Builds and runs the search benchmark on a full received history:
#   bench/search/run.sh [build-dir] [records]
set -euo pipefail
. "$(dirname "$0")/../support/build-and-run.sh"
build_bench bench_search search "${1:-}"
QT_QPA_PLATFORM=offscreen "$exe" ${2:+"$2"}
