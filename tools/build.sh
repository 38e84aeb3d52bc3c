#!/usr/bin/env bash
# Installs what is missing, configures and builds into the build folder
# (TALLYWISE_BUILD_DIR, default build/; TALLYWISE_CMAKE_ARGS adds configure
# settings, such as another vendor's site values).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TALLYWISE_BUILD_DIR:-$root/build}"
bash "$root/tools/setup.sh" || exit 1
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" ${TALLYWISE_CMAKE_ARGS:-} || exit 1
cmake --build "$build" -j "$(nproc)" || exit 1
