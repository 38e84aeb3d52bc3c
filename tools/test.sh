#!/usr/bin/env bash
# Sets up the machine, builds everything and runs all tests: the unit tests under
# CTest, then the end-to-end tests with pytest. Extra arguments go to pytest.
# TALLYWISE_BUILD_DIR and TALLYWISE_CMAKE_ARGS as for tools/build.sh.
# Two configurations are built and tested: the default one, and a signed one
# (TALLYWISE_SIGNED_BUILD_DIR, default build-signed/) that carries the test keys.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TALLYWISE_BUILD_DIR:-$root/build}"
signed="${TALLYWISE_SIGNED_BUILD_DIR:-$root/build-signed}"
cd "$root"

bash tools/build.sh || exit 1
keys=$(bash tests/fixtures/signing/package-keys.sh) || exit 1
TALLYWISE_BUILD_DIR="$signed" TALLYWISE_CMAKE_ARGS="${TALLYWISE_CMAKE_ARGS:-} -DTALLYWISE_PACKAGE_KEYS=$keys" \
  bash tools/build.sh || exit 1

bash tools/wine-session.sh start "$build" || exit 1
trap 'bash "$root/tools/wine-session.sh" stop "$build"' EXIT

(cd "$build" && ctest --output-on-failure --timeout 300 </dev/null)
unit=$?
# The signed build's unit tests run in the same Wine session.
(cd "$signed" && WINEPREFIX="$build/wineprefix" TALLYWISE_WINE_HOME="$build/wine-home" \
  ctest --output-on-failure --timeout 300 </dev/null)
signed_unit=$?
/usr/bin/python3 -m pytest -p no:cacheprovider -q "$root/tests/e2e" --build "$build" --signed-build "$signed" \
  "$@" </dev/null
e2e=$?
[ $unit -eq 0 ] && [ $signed_unit -eq 0 ] && [ $e2e -eq 0 ]
