#!/usr/bin/env bash
# Builds bench_idle and measures the idle main window's CPU use.
#   bench/idle/run-idle.sh [seconds] [--xvfb | --screen-reader | --check-off]
# --check-off measures the window as it starts, with the check off (Xvfb).
# --screen-reader runs it under Xvfb on a session bus of its own with the
# accessibility bus up and a process registered for the window's events, as
# a screen reader user's desktop has them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
seconds=${1:-60}
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_idle -j2 >/dev/null
exe="$build/bench/idle/bench_idle"
case "${2:-}" in
--check-off)
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$seconds" --check-off ;;
--xvfb)
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$seconds" ;;
--screen-reader)
  exec dbus-run-session -- bash -c '
    /usr/libexec/at-spi-bus-launcher --launch-immediately & launcher=$!
    sleep 1
    xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$1" --screen-reader; status=$?
    kill $launcher 2>/dev/null
    exit $status' "$exe" "$seconds" ;;
esac
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$exe" "$seconds"
