#!/usr/bin/env bash
# Runs one simulated logon through the credential provider and the sub-authentication
# package under Wine, in the build's test prefix.
#   scripts/logon-simulator.sh [simulator options]
# Environment: VELKOR_FAKE_PASSWORD_TILES=alice,bob (the password provider's tiles).
# Example: scripts/logon-simulator.sh --token-scenario tests/logonsim/examples/token.txt
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
scripts/build.sh >/dev/null
prefix="$root/build/mingw/wineprefix"
scripts/wine-prefix.sh init "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml="
args=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--token-scenario" ] && [ $# -gt 1 ]; then
    args+=("$1" "$(winepath -w "$(realpath "$2")" 2>/dev/null)"); shift 2
  else
    args+=("$1"); shift
  fi
done
cd build/mingw/bin
wine logon_simulator.exe --register >/dev/null
exec wine logon_simulator.exe "${args[@]}"
