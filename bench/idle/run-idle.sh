#!/usr/bin/env bash
# Builds bench_idle and measures the idle main window's CPU use.
#   bench/idle/run-idle.sh [seconds] [--xvfb]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
seconds=${1:-60}
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_idle -j2 >/dev/null
exe="$build/bench/idle/bench_idle"
if [ "${2:-}" = "--xvfb" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$seconds"
fi
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$exe" "$seconds"
