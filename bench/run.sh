#!/usr/bin/env bash
# Sets up, builds and runs the benchmark (not a test: it measures, it does not judge).
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/build.sh" >/dev/null || exit 1
# The build with package keys, as the tests make it: it checks packages signed with the test key.
signed="${TALLYWISE_SIGNED_BUILD_DIR:-$root/build-signed}"
keys=$(bash "$root/tests/fixtures/signing/package-keys.sh") || exit 1
TALLYWISE_BUILD_DIR="$signed" TALLYWISE_CMAKE_ARGS="${TALLYWISE_CMAKE_ARGS:-} -DTALLYWISE_PACKAGE_KEYS=$keys" \
  bash "$root/tools/build.sh" >/dev/null || exit 1
exec /usr/bin/python3 "$root/bench/benchmark.py" --build "${TALLYWISE_BUILD_DIR:-$root/build}" \
  --signed-build "$signed" "$@"
