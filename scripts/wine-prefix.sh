#!/usr/bin/env bash
# Creates (once) and starts the Wine prefix a build tree's tests run in.
#   wine-prefix.sh init PREFIX   create or update the prefix, leave a server running
#   wine-prefix.sh stop PREFIX   stop that prefix's wine server
set -euo pipefail
action=${1:?action}
prefix=${2:?prefix}
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko downloads in a sandbox without network.
export WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
  init)
    mkdir -p "$prefix"
    if [ ! -f "$prefix/.velkor-ready" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver -w
      test -f "$prefix/system.reg"
      touch "$prefix/.velkor-ready"
    fi
    # Keep one server alive for the whole test run: registry security set by a test
    # lives only as long as the server does, and restarts are slow.
    wineserver -p >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    ;;
  stop)
    [ -d "$prefix" ] && wineserver -k >/dev/null 2>&1 || true
    ;;
  *)
    echo "unknown action $action" >&2
    exit 2
    ;;
esac
