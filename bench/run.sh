#!/usr/bin/env bash
# Sets up, builds and runs the benchmark (not a test: it measures, it does not judge).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TALLYWISE_BUILD_DIR:-$root/build}"
cd "$root"
bash tools/setup.sh >&2 || exit 1
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ${TALLYWISE_CMAKE_ARGS:-} >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" >/dev/null || exit 1
exec /usr/bin/python3 bench/benchmark.py --build "$build" "$@"
