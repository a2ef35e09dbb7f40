#!/usr/bin/env bash
# Signs copies of the built deliverables and MSI with a throwaway self-signed code-signing
# certificate (scripts/sign-deliverables.sh) and checks with osslsigncode that each carries
# an Authenticode SHA-256 signature over its current content, that the MSI was built from
# the signed binaries, and that a changed file no longer verifies; and the LSA plug-in
# signing cabinet (--lsa-cab): signed, holding the signed package alone.
#   signing-tests.sh BUILD_DIR BIN_DIR VERSION
set -uo pipefail
build=${1:?build dir}
bin=${2:?bin dir}
version=${3:?version}
root=$(cd "$(dirname "$0")/../.." && pwd)
passed=0
failed=0

check() { # description, then the command that must succeed
  local description=$1; shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1)); echo "ok - $description"
  else
    failed=$((failed + 1)); echo "not ok - $description"
  fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/extracted"

# The certificate: self-signed, for code signing only.
printf 'velkor-test\n' >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velkor Test Code Signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 &&
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
  -passout "file:$work/password" >/dev/null 2>&1 ||
  { echo "cannot make a test certificate"; echo "signing: 0 passed, 1 failed"; exit 1; }

# Copies: the deliverables, what the MSI needs beside them, and the MSI.
shopt -s nullglob
binaries=()
for file in "$bin"/Velkor*.dll "$bin"/Velkor*.exe "$bin"/velkorctl.exe; do
  [ -f "$file" ] && cp "$file" "$work/bin/" && binaries+=("$(basename "$file")")
done
msi="$work/VelkorFIDO2Login-$version.msi"
cp "$build/VelkorFIDO2Login-$version.msi" "$msi"

verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1; }
# A signature over the file as it is, with SHA-256 both for the file and for the signer.
signed_sha256() {
  local shown; shown=$(verify "$1") || return 1
  grep -Eq '^Message digest algorithm +: SHA256' <<<"$shown" &&
  grep -q '^Message digest algorithm: SHA256' <<<"$shown" &&
  grep -q 'Subject: /CN=Velkor Test Code Signing' <<<"$shown" &&
  ! grep -q 'MISMATCH' <<<"$shown" &&
  grep -q '^Signature verification: ok' <<<"$shown"
}
unsigned() { local shown; shown=$(osslsigncode verify -in "$1" 2>&1); grep -Eq 'No signature found|has no signature' <<<"$shown"; }
# A tree built with build.sh --sign holds signed files: start from unsigned copies.
unsign() {
  unsigned "$1" && return 0
  osslsigncode remove-signature -in "$1" -out "$1.unsigned" >/dev/null 2>&1 && mv -f "$1.unsigned" "$1"
}
for name in "${binaries[@]}"; do unsign "$work/bin/$name"; done
unsign "$msi"

echo "# before signing"
check "found the deliverables (${binaries[*]})" test ${#binaries[@]} -ge 4
for name in VelkorSubAuth.dll VelkorCredentialProvider.dll VelkorFIDO2_GUI.exe; do
  check "$name among them" test -f "$work/bin/$name"
done
check "the copied MSI is unsigned" unsigned "$msi"
check "the copied VelkorSubAuth.dll is unsigned" unsigned "$work/bin/VelkorSubAuth.dll"

echo "# sign-deliverables.sh"
check "signing exits 0" bash "$root/scripts/sign-deliverables.sh" --pfx "$work/test.pfx" \
  --password-file "$work/password" --lsa-cab "$work/lsa.cab" "$work/bin" "$msi"
for name in "${binaries[@]}"; do
  check "$name: SHA-256 Authenticode signature" signed_sha256 "$work/bin/$name"
done
check "MSI: SHA-256 Authenticode signature" signed_sha256 "$msi"
check "MSI keeps its version" bash -c "msiinfo export '$msi' Property | grep -q '^ProductVersion.$version'"

echo "# the MSI holds the signed binaries"
check "files extracted from the MSI" msiextract -C "$work/extracted" "$msi"
for name in VelkorSubAuth.dll VelkorCredentialProvider.dll VelkorFIDO2_GUI.exe; do
  inside=$(find "$work/extracted" -name "$name" | head -n 1)
  check "$name in the MSI: signed" signed_sha256 "$inside"
  check "$name in the MSI: the signed file itself" cmp "$inside" "$work/bin/$name"
done

echo "# the LSA plug-in signing cabinet"
check "cabinet: SHA-256 Authenticode signature" signed_sha256 "$work/lsa.cab"
listed=$(gcab --list "$work/lsa.cab" 2>/dev/null)
check "cabinet: VelkorSubAuth.dll alone, without a folder" test "$listed" = "VelkorSubAuth.dll"
mkdir -p "$work/cab"
check "cabinet: extracts" gcab --extract --directory "$work/cab" "$work/lsa.cab"
check "cabinet: holds the signed package itself" cmp "$work/cab/VelkorSubAuth.dll" "$work/bin/VelkorSubAuth.dll"
check "build.sh --lsa-cab without --sign is refused" bash -c "bash '$root/scripts/build.sh' --lsa-cab 2>&1; test \$? -eq 2"

echo "# what verify says without the certificate as trust anchor"
shown=$(osslsigncode verify -in "$work/bin/VelkorSubAuth.dll" 2>&1)
check "the chain ends in a self-signed certificate" grep -q 'self-signed certificate' <<<"$shown"
check "the digest still matches" bash -c '! grep -q MISMATCH' <<<"$shown"

echo "# a changed file no longer verifies"
cp "$work/bin/VelkorSubAuth.dll" "$work/tampered.dll"
printf '\xff\xfe\xfd\xfc' | dd of="$work/tampered.dll" bs=1 seek=5000 conv=notrunc 2>/dev/null
check "changed DLL: verify fails" bash -c "! osslsigncode verify -CAfile '$work/cert.pem' -in '$work/tampered.dll'"
check "changed DLL: digest mismatch reported" bash -c "osslsigncode verify -CAfile '$work/cert.pem' -in '$work/tampered.dll' 2>&1 | grep -q MISMATCH"
cp "$msi" "$work/tampered.msi"
msibuild "$work/tampered.msi" -q "UPDATE \`Property\` SET \`Value\` = 'Someone Else' WHERE \`Property\` = 'Manufacturer'"
check "changed MSI: verify fails" bash -c "! osslsigncode verify -CAfile '$work/cert.pem' -in '$work/tampered.msi'"

echo "signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
