#!/usr/bin/env bash
# Signs the deliverables with Authenticode (SHA-256) using osslsigncode: every
# Velkor*.dll, Velkor*.exe and velkorctl.exe in BIN_DIR, then rebuilds MSI from the signed
# files (with the version of the MSI it replaces) and signs the MSI. With --lsa-cab it also
# packs the signed VelkorSubAuth.dll alone into the cabinet CAB (no folders), as Microsoft's
# LSA plug-in signing submission takes it, and signs the cabinet with the same certificate.
#   sign-deliverables.sh --pfx PFX [--password-file FILE] [--timestamp URL] [--lsa-cab CAB] BIN_DIR MSI
set -euo pipefail
usage() {
  echo "usage: $0 --pfx PFX [--password-file FILE] [--timestamp URL] [--lsa-cab CAB] BIN_DIR MSI" >&2
  exit 2
}
pfx="" password_file="" timestamp="" lsa_cab=""
while [ $# -gt 0 ]; do
  case "$1" in
    --pfx) pfx=${2:?}; shift 2 ;;
    --password-file) password_file=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --lsa-cab) lsa_cab=$(realpath -m "${2:?}"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ -n "$pfx" ] && [ $# -eq 2 ] || usage
bin=$1
msi=$2
root=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$pfx" ] || { echo "no such certificate file: $pfx" >&2; exit 1; }
[ -f "$msi" ] || { echo "no such MSI: $msi (build first)" >&2; exit 1; }
[ -z "$lsa_cab" ] || command -v gcab >/dev/null || { echo "gcab is needed for --lsa-cab (scripts/setup.sh installs it)" >&2; exit 1; }

sign_options=(-pkcs12 "$pfx" -h sha256 -comm -n "Velkor FIDO2 Login")
[ -z "$password_file" ] || sign_options+=(-readpass "$password_file")
[ -z "$timestamp" ] || sign_options+=(-ts "$timestamp")

# A signed file is signed again with the new signature in place of the old one. An MSI
# also gets the MsiDigitalSignatureEx stream, which covers its streams' metadata too.
sign() {
  local file=$1 signed="$1.signing" extra=()
  [[ "$file" != *.msi ]] || extra=(-add-msi-dse)
  osslsigncode sign "${sign_options[@]}" "${extra[@]}" -in "$file" -out "$signed" >/dev/null ||
    { rm -f "$signed"; echo "cannot sign $file" >&2; return 1; }
  mv -f "$signed" "$file"
  echo "signed $file"
}

shopt -s nullglob
binaries=("$bin"/Velkor*.dll "$bin"/Velkor*.exe)
[ ! -f "$bin/velkorctl.exe" ] || binaries+=("$bin/velkorctl.exe")
[ ${#binaries[@]} -gt 0 ] || { echo "no deliverables in $bin" >&2; exit 1; }
for file in "${binaries[@]}"; do
  sign "$file"
done

# The MSI carries copies of the binaries: build it again from the signed ones.
version=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
[ -n "$version" ] || { echo "cannot read the version of $msi" >&2; exit 1; }
bash "$root/installer/build-msi.sh" "$msi" "$bin" "$version"
sign "$msi"

# The LSA plug-in submission: one signed cabinet holding only the binaries to be signed.
# The package is the only binary LSA loads (mingw-w64 writes no PDB to go beside it).
if [ -n "$lsa_cab" ]; then
  rm -f "$lsa_cab"
  gcab --create --nopath "$lsa_cab" "$bin/VelkorSubAuth.dll" ||
    { rm -f "$lsa_cab"; echo "cannot make $lsa_cab" >&2; exit 1; }
  sign "$lsa_cab"
fi
