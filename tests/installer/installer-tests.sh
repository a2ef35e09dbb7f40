#!/usr/bin/env bash
# Installs the MSI with Wine's msiexec into a fresh prefix and checks what a Windows
# administrator relies on: files, registrations, key security, upgrade, removal, the
# refusal to take an Auth0 slot that belongs to another package, and Auth0 after a failed
# installation, removal or upgrade: as it was, but never naming a package whose DLL is
# missing (a test variant of the MSI fails on request).
#   installer-tests.sh BUILD_DIR WXS_FILE BIN_DIR VERSION
set -uo pipefail
build=${1:?build dir}
wxs=${2:?wxs}
bin=${3:?bin dir}
version=${4:?version}

prefix="$build/installer-prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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

value() { # key, value name ("" for the default value): prints the data as reg shows it, or nothing
  local selector=(/v "$2") shown=$2
  if [ -z "$2" ]; then selector=(/ve); shown='(Default)'; fi
  wine reg query "$1" "${selector[@]}" 2>/dev/null | tr -d '\r' |
    NAME="$shown" awk '$1 == ENVIRON["NAME"] { $1 = ""; $2 = ""; sub(/^  */, ""); print }'
}
key_exists() { wine reg query "$1" >/dev/null 2>&1; }
key_absent() { ! key_exists "$1"; }
equals() { [ "$1" = "$2" ]; }

msi_of() { echo "$build/installer-test-$1.msi"; }
build_msi() { # version [name [wixl options]]: the same build as the product's (build-msi.sh)
  bash "$(dirname "$wxs")/build-msi.sh" "$(msi_of "${2:-$1}")" "$bin" "$1" "${@:3}"
}
msiexec() { wine msiexec "$@" /qn; }
windows_path() { winepath -w "$1" 2>/dev/null; }

clsid='{A614094D-EFED-4B38-94BB-E14B932584B0}'
classes="HKLM\\SOFTWARE\\Classes\\CLSID\\$clsid"
providers="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers\\$clsid"
filters="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Provider Filters\\$clsid"
msv="HKLM\\SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0"
auth='HKLM\SOFTWARE\Halvane\FIDO2\auth'
eventsource='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velkor FIDO2 Login'
system32="$prefix/drive_c/windows/system32"
policies="$prefix/drive_c/windows/PolicyDefinitions"
programs="$prefix/drive_c/Program Files/Halvane/Velkor FIDO2 Login"

# The next version, for the upgrade: Windows Installer compares only the first three
# fields (a fourth one, as in 1.0.0.1, is ignored), so the third one goes up.
IFS=. read -r major minor third fourth <<<"$version"
next="$major.$minor.$((third + 1))${fourth:+.$fourth}"
build_msi "$version" && build_msi "$next" && build_msi "$version" failing -D TestFailure=1 &&
  build_msi "$next" failing-next -D TestFailure=1 ||
  { echo "cannot build the MSI"; echo "0 passed, 1 failed"; exit 1; }
first=$(windows_path "$(msi_of "$version")")
second=$(windows_path "$(msi_of "$next")")
failing=$(windows_path "$(msi_of failing)")
failing_next=$(windows_path "$(msi_of failing-next)")

action_type() { msiinfo export "$1" CustomAction | tr -d '\r' | awk -F'\t' -v id="$2" '$1 == id { print $2 }'; }
is_rollback_action() { # msi, action: deferred (in-script) and rollback
  local type; type=$(action_type "$1" "$2"); [ -n "$type" ] && (( (type & 0x500) == 0x500 ))
}

echo "# the package as built"
for action in RollbackWriteAuth0 RollbackRemoveAuth0 RollbackDropOrphanedAuth0; do
  check "$action is a rollback action in the built MSI" is_rollback_action "$build/VelkorFIDO2Login-$version.msi" "$action"
  check "$action is a rollback action in the test's MSI" is_rollback_action "$(msi_of "$version")" "$action"
done

# A server left over from an earlier run would keep the old prefix's registry alive.
wineserver -k >/dev/null 2>&1
rm -rf "$prefix"
wineboot --init >/dev/null 2>&1
wineserver -w
# One server from here on: key security lives only as long as the server.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1' EXIT

echo "# fresh install with LOGGING=1"
check "install exits 0" msiexec /i "$first" LOGGING=1
check "package in System32" test -f "$system32/VelkorSubAuth.dll"
check "provider in System32" test -f "$system32/VelkorCredentialProvider.dll"
check "Login Manager in Program Files\\Halvane" test -f "$programs/VelkorFIDO2_GUI.exe"
check "velkorctl beside the Login Manager" test -f "$programs/velkorctl.exe"
check "Start-menu shortcut" bash -c "find '$prefix/drive_c' -iname 'Velkor FIDO2 Login Manager.lnk' | grep -q ."
check "COM server path" equals "$(value "$classes\\InprocServer32" '')" 'C:\windows\system32\VelkorCredentialProvider.dll'
check "COM threading model" equals "$(value "$classes\\InprocServer32" ThreadingModel)" Apartment
check "listed as credential provider" key_exists "$providers"
check "listed as provider filter" key_exists "$filters"
check "Auth0 names the package" equals "$(value "$msv" Auth0)" VelkorSubAuth
check "logging switched on" equals "$(value "$auth\\settings" loggingEnabled)" 0x1
check "safe-mode switch untouched" equals "$(value "$auth\\settings" safemodeEnabled)" ""
check "token logon stays off" equals "$(value "$auth\\settings" enabled)" ""
check "users key created" key_exists "$auth\\users"
check "tokens key created" key_exists "$auth\\tokens"
check "event source registered" key_exists "$eventsource"
check "event messages in the package" equals "$(value "$eventsource" EventMessageFile)" 'C:\windows\system32\VelkorSubAuth.dll'
check "event types: error, warning, information" equals "$(value "$eventsource" TypesSupported)" 0x7
check "no policy template without INSTALLADMX=1" test ! -e "$policies/VelkorFIDO2Login.admx"
check "no policy texts without INSTALLADMX=1" test ! -e "$policies/en-US/VelkorFIDO2Login.adml"

probe=$(cd "$bin" && wine installer_key_probe.exe 2>/dev/null | tr -d '\r')
for key in 'SOFTWARE\Halvane\FIDO2\auth' 'SOFTWARE\Halvane\FIDO2\auth\settings' 'SOFTWARE\Halvane\FIDO2\auth\users' 'SOFTWARE\Halvane\FIDO2\auth\tokens'; do
  sddl=$(printf '%s\n' "$probe" | KEY="$key" awk '$1 == ENVIRON["KEY"] { print $2 }')
  check "$key: protected DACL, SYSTEM and Administrators only, inherited by subkeys" \
    equals "$sddl" 'D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)'
done

echo "# upgrade keeps the configuration"
wine reg add "$auth\\users\\alice" /v enabled /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine reg add "$auth\\tokens\\1234ABCD" /v user /t REG_SZ /d alice /f >/dev/null 2>&1
check "upgrade exits 0" msiexec /i "$second"
check "user switch survived" equals "$(value "$auth\\users\\alice" enabled)" 0x1
check "token association survived" equals "$(value "$auth\\tokens\\1234ABCD" user)" alice
check "Auth0 still names the package" equals "$(value "$msv" Auth0)" VelkorSubAuth
# The previous version goes after the new one is in place: what both share must stay.
check "package still in System32" test -f "$system32/VelkorSubAuth.dll"
check "event source still registered" key_exists "$eventsource"
check "COM class still registered" key_exists "$classes\\InprocServer32"
check "one product installed" equals "$(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName.*Velkor FIDO2 Login')" 1

echo "# uninstall keeps the configuration unless asked"
check "uninstall exits 0" msiexec /x "$second"
check "package removed" test ! -e "$system32/VelkorSubAuth.dll"
check "provider removed" test ! -e "$system32/VelkorCredentialProvider.dll"
check "Login Manager removed" test ! -e "$programs/VelkorFIDO2_GUI.exe"
check "velkorctl removed" test ! -e "$programs/velkorctl.exe"
check "COM class removed" key_absent "$classes"
check "provider listing removed" key_absent "$providers"
check "filter listing removed" key_absent "$filters"
check "Auth0 removed" equals "$(value "$msv" Auth0)" ""
check "event source removed" key_absent "$eventsource"
check "configuration kept" equals "$(value "$auth\\tokens\\1234ABCD" user)" alice

echo "# INSTALLADMX=1 adds the Group Policy templates"
check "reinstall with INSTALLADMX=1 exits 0" msiexec /i "$second" INSTALLADMX=1
check "policy template in PolicyDefinitions" cmp "$policies/VelkorFIDO2Login.admx" "$(dirname "$wxs")/policy/VelkorFIDO2Login.admx"
check "policy texts in PolicyDefinitions\\en-US" cmp "$policies/en-US/VelkorFIDO2Login.adml" "$(dirname "$wxs")/policy/en-US/VelkorFIDO2Login.adml"
check "uninstall with REMOVECONFIG=1 exits 0" msiexec /x "$second" REMOVECONFIG=1
check "configuration removed" key_absent 'HKLM\SOFTWARE\Halvane'
check "policy template removed" test ! -e "$policies/VelkorFIDO2Login.admx"
check "policy texts removed" test ! -e "$policies/en-US/VelkorFIDO2Login.adml"

echo "# Auth0 belongs to another package"
wine reg add "$msv" /v Auth0 /t REG_SZ /d OtherSubAuth /f >/dev/null 2>&1
msiexec /i "$second"; rc=$?
check "install refused (exit $rc)" test "$rc" -ne 0
check "Auth0 unchanged" equals "$(value "$msv" Auth0)" OtherSubAuth
check "no file installed" test ! -e "$system32/VelkorSubAuth.dll"
check "no COM class registered" key_absent "$classes"
check "no configuration created" key_absent 'HKLM\SOFTWARE\Halvane'

echo "# uninstall leaves a foreign Auth0 alone"
wine reg delete "$msv" /v Auth0 /f >/dev/null 2>&1
check "install exits 0" msiexec /i "$second"
wine reg add "$msv" /v Auth0 /t REG_SZ /d OtherSubAuth /f >/dev/null 2>&1
check "uninstall exits 0" msiexec /x "$second"
check "the other package keeps Auth0" equals "$(value "$msv" Auth0)" OtherSubAuth

# From here on nothing is installed.
set_auth0() { wine reg add "$msv" /v Auth0 /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
clear_auth0() { wine reg delete "$msv" /v Auth0 /f >/dev/null 2>&1; }
# Registered components of the package. Wine's rollback of a removal also unpublishes the
# product (its Uninstall entry goes), but keeps the component registrations.
installed() { # grep -c reads to the end: grep -q would end reg with SIGPIPE under pipefail
  [ "$(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData' /s 2>/dev/null |
       tr -d '\r' | grep -ic 'system32\\VelkorSubAuth.dll')" -gt 0 ]
}
not_installed() { ! installed; }

echo "# a failed installation leaves no Auth0: none was there, or it named the missing package"
for before in "" VelkorSubAuth VelkorSubAuth.dll; do
  shown=${before:-absent}
  if [ -z "$before" ]; then clear_auth0; else set_auth0 "$before"; fi
  msiexec /i "$failing" VELKORTESTFAIL=install; rc=$?
  check "Auth0 $shown: installation failed (exit $rc)" test "$rc" -ne 0
  check "Auth0 $shown: absent afterwards" equals "$(value "$msv" Auth0)" ""
  check "Auth0 $shown: files rolled back" test ! -e "$system32/VelkorSubAuth.dll"
  check "Auth0 $shown: event source rolled back" key_absent "$eventsource"
  check "Auth0 $shown: no component registered" not_installed
done

echo "# a failed removal leaves Auth0 and the files"
clear_auth0
check "install exits 0" msiexec /i "$failing"
msiexec /x "$failing" VELKORTESTFAIL=uninstall; rc=$?
check "removal failed (exit $rc)" test "$rc" -ne 0
check "Auth0 still names the package" equals "$(value "$msv" Auth0)" VelkorSubAuth
check "package still in System32" test -f "$system32/VelkorSubAuth.dll"
check "event source still registered" key_exists "$eventsource"
check "components still registered" installed
check "removal without the failure exits 0" msiexec /x "$failing"
check "then Auth0 is removed" equals "$(value "$msv" Auth0)" ""
check "and the package" test ! -e "$system32/VelkorSubAuth.dll"

echo "# a failed upgrade leaves the previous version working, or nothing"
# Auth0 must name the package exactly while its DLL is in System32: Auth0 alone makes LSA
# search the DLL path at the next start. The upgrade fails in the middle of its script or at
# its very end, after the previous version was removed.
package_state() { # "Auth0 <value>, DLL yes|no"
  local dll=no; [ -f "$system32/VelkorSubAuth.dll" ] && dll=yes
  echo "Auth0 [$(value "$msv" Auth0)], DLL $dll"
}
for stage in install late; do
  check "$stage: $version installs" msiexec /i "$first"
  msiexec /i "$failing_next" VELKORTESTFAIL=$stage; rc=$?
  check "$stage: upgrade to $next failed (exit $rc)" test "$rc" -ne 0
  state=$(package_state)
  check "$stage: $version works or nothing is left ($state)" \
    bash -c '[ "$1" = "Auth0 [VelkorSubAuth], DLL yes" ] || [ "$1" = "Auth0 [], DLL no" ]' _ "$state"
  msiexec /x "$first"; clear_auth0
done

echo "installer: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
