#!/usr/bin/env bash
# Sets up a fresh machine if needed and builds the deliverables into build/mingw/bin.
#   build.sh [--sign PFX [--password-file FILE] [--timestamp URL] [--lsa-cab]]
# With --sign the binaries are signed (Authenticode, SHA-256), the MSI is built again from
# the signed binaries, and the MSI is signed too (scripts/sign-deliverables.sh). --lsa-cab
# also makes build/mingw/VelkorSubAuth-<version>-lsa.cab, the signed cabinet to submit for
# Microsoft's LSA plug-in signing (sign with the organization's EV certificate).
set -euo pipefail
pfx=""
lsa_cab=0
sign_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) pfx=$(realpath -m "${2:?--sign needs a PFX file}"); shift 2 ;;
    --password-file) sign_options+=("$1" "$(realpath -m "${2:?$1 needs a file}")"); shift 2 ;;
    --timestamp) sign_options+=("$1" "${2:?$1 needs a URL}"); shift 2 ;;
    --lsa-cab) lsa_cab=1; shift ;;
    *) echo "usage: $0 [--sign PFX [--password-file FILE] [--timestamp URL] [--lsa-cab]]" >&2; exit 2 ;;
  esac
done
if [ -z "$pfx" ] && [ ${#sign_options[@]} -gt 0 ]; then
  echo "--password-file and --timestamp go with --sign" >&2
  exit 2
fi
if [ -z "$pfx" ] && [ "$lsa_cab" -eq 1 ]; then
  echo "--lsa-cab goes with --sign: Microsoft takes only a cabinet signed with the organization's certificate" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
if [ -n "$pfx" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw/CMakeCache.txt)
  [ "$lsa_cab" -eq 0 ] || sign_options+=(--lsa-cab "build/mingw/VelkorSubAuth-$version-lsa.cab")
  scripts/sign-deliverables.sh --pfx "$pfx" "${sign_options[@]}" build/mingw/bin "build/mingw/VelkorFIDO2Login-$version.msi"
fi
echo "Deliverables:"
ls -1 build/mingw/bin/Velkor* build/mingw/VelkorFIDO2Login-*.msi
[ "$lsa_cab" -eq 0 ] || ls -1 build/mingw/VelkorSubAuth-*-lsa.cab
