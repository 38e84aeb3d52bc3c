#!/usr/bin/env bash
# Sets up, builds, and runs the installer against a local distribution site with
# drive D mapped to a scratch folder.
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/build.sh" >/dev/null || exit 1
exec /usr/bin/python3 "$root/tools/demo.py" --build "${TALLYWISE_BUILD_DIR:-$root/build}" "$@"
