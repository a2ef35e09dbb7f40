#!/usr/bin/env bash
# Builds everything and prints the package's logon latency per path under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
prefix="$PWD/build/mingw/wineprefix"
scripts/wine-prefix.sh init "$prefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
cd build/mingw/bin
WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=" \
  wine velkor_subauth_benchmark.exe "${1:-300}"
