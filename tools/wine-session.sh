#!/usr/bin/env bash
# Usage: wine-session.sh start|stop BUILD_DIR
# start: makes a fresh Wine prefix in BUILD_DIR/wineprefix and keeps a wineserver
# running for it, its services detached from the caller's pipes. stop: ends it.
set -eu
action=$1
mkdir -p "$2"
build=$(cd "$2" && pwd)
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME="$build/wine-home"

case "$action" in
  start)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX" "$HOME"
    mkdir -p "$HOME"
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
    # A persistent server and services started with no inherited pipes: later
    # test programs start fast and never hold a test runner's output open.
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 300 wine wineboot </dev/null >/dev/null 2>&1
    # Only the system drive: nothing of the test machine's root is reachable as Z:.
    rm -f "$WINEPREFIX/dosdevices/z:"
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
