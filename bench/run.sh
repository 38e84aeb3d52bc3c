#!/usr/bin/env bash
# Sets up, builds and runs the benchmark (not a test: it measures, it does not judge).
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/build.sh" >/dev/null || exit 1
exec /usr/bin/python3 "$root/bench/benchmark.py" --build "${TALLYWISE_BUILD_DIR:-$root/build}" "$@"
