#!/usr/bin/env bash
# Builds the MSI with wixl, then makes its rollback actions real ones: wixl builds a
# CustomAction with Execute="rollback" as an ordinary immediate action (it prints
# "unimplemented"), which would run on every installation and never on a failure.
#   build-msi.sh OUTPUT BIN_DIR VERSION [wixl options, e.g. -D TestFailure=1]
# Run with the built deliverables and VelkorSetupActions.dll in BIN_DIR.
set -euo pipefail
output=$(realpath -m "${1:?output}")
bin=${2:?bin dir}
version=${3:?version}
shift 3
here=$(cd "$(dirname "$0")" && pwd)
wxs="$here/VelkorFIDO2Login.wxs"

# wixl takes only relative source paths.
policy=$(realpath --relative-to="$bin" "$here/policy")
(cd "$bin" && wixl -a x64 -D Version="$version" -D PolicyDir="$policy" "$@" -o "$output" "$wxs" 2>&1 |
  { grep -v 'builder.vala:[0-9]*: unimplemented' || true; } >&2)

# msidbCustomActionTypeInScript | msidbCustomActionTypeRollback
readonly IN_SCRIPT=0x400 ROLLBACK=0x100
rollback_ids=$(tr '\n\r' '  ' <"$wxs" | grep -o '<CustomAction [^>]*>' | { grep 'Execute="rollback"' || true; } |
               sed 's/.* Id="\([^"]*\)".*/\1/')
table=$(msiinfo export "$output" CustomAction | tr -d '\r')
for id in $rollback_ids; do
  type=$(printf '%s\n' "$table" | awk -F'\t' -v id="$id" '$1 == id { print $2 }')
  [ -n "$type" ] || { echo "build-msi.sh: $id is not in the CustomAction table" >&2; exit 1; }
  fixed=$(( (type | IN_SCRIPT | ROLLBACK) ))
  msibuild "$output" -q "UPDATE \`CustomAction\` SET \`Type\` = $fixed WHERE \`Action\` = '$id'"
  now=$(msiinfo export "$output" CustomAction | tr -d '\r' | awk -F'\t' -v id="$id" '$1 == id { print $2 }')
  [ "$now" = "$fixed" ] || { echo "build-msi.sh: $id has type $now, not $fixed" >&2; exit 1; }
done
