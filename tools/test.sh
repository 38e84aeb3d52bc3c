#!/usr/bin/env bash
# Sets up the machine, builds everything and runs all tests: the unit tests under
# CTest, then the end-to-end tests with pytest. Extra arguments go to pytest.
# TALLYWISE_BUILD_DIR and TALLYWISE_CMAKE_ARGS as for tools/build.sh.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TALLYWISE_BUILD_DIR:-$root/build}"
cd "$root"

bash tools/build.sh || exit 1

bash tools/wine-session.sh start "$build" || exit 1
trap 'bash "$root/tools/wine-session.sh" stop "$build"' EXIT

(cd "$build" && ctest --output-on-failure --timeout 300 </dev/null)
unit=$?
/usr/bin/python3 -m pytest -p no:cacheprovider -q "$root/tests/e2e" --build "$build" "$@" </dev/null
e2e=$?
[ $unit -eq 0 ] && [ $e2e -eq 0 ]
