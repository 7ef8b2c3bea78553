# Sourced by the benchmarks' run.sh: builds one benchmark target into the
# build folder (configuring it first when needed) and sets `exe` to it.
#   build_bench TARGET SUBDIR [build-dir]
build_bench() {
  local target=$1 subdir=$2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  build=${3:-${KORVEX_BUILD_DIR:-$root/build}}
  [ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target "$target" -j2 >/dev/null
  exe="$build/bench/$subdir/$target"
}
