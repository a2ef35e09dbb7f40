#!/usr/bin/env bash
# Sets up a fresh machine if needed and builds the deliverables into build/mingw/bin.
#   build.sh [--sign PFX [--password-file FILE] [--timestamp URL]]
# With --sign the binaries are signed (Authenticode, SHA-256), the MSI is built again from
# the signed binaries, and the MSI is signed too (scripts/sign-deliverables.sh).
set -euo pipefail
pfx=""
sign_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) pfx=$(realpath -m "${2:?--sign needs a PFX file}"); shift 2 ;;
    --password-file) sign_options+=("$1" "$(realpath -m "${2:?$1 needs a file}")"); shift 2 ;;
    --timestamp) sign_options+=("$1" "${2:?$1 needs a URL}"); shift 2 ;;
    *) echo "usage: $0 [--sign PFX [--password-file FILE] [--timestamp URL]]" >&2; exit 2 ;;
  esac
done
if [ -z "$pfx" ] && [ ${#sign_options[@]} -gt 0 ]; then
  echo "--password-file and --timestamp go with --sign" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
if [ -n "$pfx" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw/CMakeCache.txt)
  scripts/sign-deliverables.sh --pfx "$pfx" "${sign_options[@]}" build/mingw/bin "build/mingw/VelkorFIDO2Login-$version.msi"
fi
echo "Deliverables:"
ls -1 build/mingw/bin/Velkor* build/mingw/VelkorFIDO2Login-*.msi
