#!/usr/bin/env bash
# The demo: sets up a fresh machine if needed, builds everything, installs the MSI into a
# throwaway Wine prefix and tells a short story with the logon simulator and a virtual
# token. Ends with "DEMO PASSED" (exit 0) or "DEMO FAILED" (exit 1).
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
echo "== Setting up the machine (packages it lacks)"
scripts/setup.sh || exit 1
cmake --preset mingw >/dev/null || exit 1
# A line per finished part, the whole output only when the build fails.
echo "== Building for Windows with mingw-w64 (several minutes on a fresh clone)"
mkdir -p build/mingw
build_log=build/mingw/demo-build.log
cmake --build --preset mingw 2>&1 | tee "$build_log" | grep --line-buffered -E '^\[ *[0-9]+%\] (Built target|Building the MSI)' |
  sed -u 's/^/   /'
[ "${PIPESTATUS[0]}" -eq 0 ] || { tail -n 40 "$build_log"; echo "build failed (log: $build_log)"; echo "DEMO FAILED"; exit 1; }

bin="$root/build/mingw/bin"
msi=$(ls "$root"/build/mingw/VelkorFIDO2Login-*.msi 2>/dev/null | head -n 1)
[ -n "$msi" ] || { echo "no MSI was built"; echo "DEMO FAILED"; exit 1; }
# Wine has one local account, named after USER: in this story it is alice.
export USER=alice WINEPREFIX="$root/build/mingw/demo-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml="
rm -rf "$WINEPREFIX"
second="$root/build/mingw/demo-prefix-2"
rm -rf "$second"
trap 'wineserver -k >/dev/null 2>&1; WINEPREFIX="$second" wineserver -k >/dev/null 2>&1' EXIT

failures=0
step() { printf '\n== %s\n' "$1"; }
# The package's decision log (installed with LOGGING=1) says why when a step surprises.
decision_log() {
  local log="$WINEPREFIX/drive_c/Velkor.txt"
  [ -f "$log" ] && iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r' | tail -n 12 | sed 's/^/      log: /'
}
expect() { # description, expected exit status, actual
  if [ "$2" -eq "$3" ]; then echo "   -> as expected: $1"
  else echo "   -> NOT AS EXPECTED: $1 (exit $3)"; decision_log; failures=$((failures + 1)); fi
}

token="$(winepath -w "$root/tests/logonsim/examples/token.txt" 2>/dev/null)"
lookalike="$(winepath -w "$root/tests/logonsim/examples/look-alike.txt" 2>/dev/null)"
step "A fresh Windows (a new Wine prefix) gets Velkor FIDO2 Login from its MSI"
wineboot --init >/dev/null 2>&1; wineserver -w; wineserver -p
wine msiexec /i "$(winepath -w "$msi")" /qn LOGGING=1; expect "msiexec installed $(basename "$msi")" 0 $?
cd "$bin" || exit 1
# The simulator stands in for LogonUI; this stands in for the system password provider.
wine logon_simulator.exe --register-stand-in >/dev/null; expect "password provider stand-in registered" 0 $?

step "The administrator looks at the machine with velkorctl (the Login Manager's console twin)"
wine velkorctl.exe status | tr -d '\r' | sed 's/^/   /'
expect "status before: installed, nothing switched on" 0 "${PIPESTATUS[0]}"

step "The administrator switches the token logon on for the computer"
wine velkorctl.exe enable computer | tr -d '\r' | sed 's/^/   /'
expect "token logon switched on and enforced" 0 "${PIPESTATUS[0]}"

step "The administrator plugs in the token (serial 1234ABCD) and associates it with alice, with a recovery code"
output=$(VELKOR_VSCARD_SCENARIO="$token" wine velkorctl.exe associate alice --recovery)
status=$?
output=$(printf '%s\n' "$output" | tr -d '\r')
printf '%s\n' "$output" | sed 's/^/   /'
code=$(printf '%s\n' "$output" | grep -o -E '^Recovery code for alice .*: [0-9A-F]{32}$' | grep -o -E '[0-9A-F]{32}$' | tail -n 1)
expect "token associated and a recovery code shown" 0 "$status"
[ -n "$code" ] || { echo "   -> NOT AS EXPECTED: no recovery code was shown"; failures=$((failures + 1)); }

step "velkorctl status now shows alice, her token and her recovery code"
output=$(wine velkorctl.exe status)
status=$?
output=$(printf '%s\n' "$output" | tr -d '\r')
printf '%s\n' "$output" | sed 's/^/   /'
expect "status after: enforced" 0 "$status"
if printf '%s\n' "$output" | grep -q -x 'Account alice: factor on, recovery code set, tokens 1234ABCD'; then
  echo "   -> as expected: alice is on, with her token and a recovery code"
else
  echo "   -> NOT AS EXPECTED: alice's line is missing"; failures=$((failures + 1))
fi

step "alice logs on with the token plugged in: it signs a fresh challenge with the key made for her"
wine logon_simulator.exe --token-scenario "$token" --tile 0 | tr -d '\r' | sed 's/^/   /'
expect "alice is logged on" 0 "${PIPESTATUS[0]}"

step "Someone tries alice's account with a look-alike: the same serial number, another key inside"
output=$(wine logon_simulator.exe --token-scenario "$lookalike" --tile 0)
status=$?
printf '%s\n' "$output" | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "the look-alike is refused" 1 "$status"
if printf '%s\n' "$output" | grep -q 'Token could not prove it is the registered key'; then
  echo "   -> as expected: the tile says the token could not prove it is the registered key"
else
  echo "   -> NOT AS EXPECTED: the tile's message is missing"; failures=$((failures + 1))
fi

usbkey="$(winepath -w "$root/tests/logonsim/examples/usb-key.txt" 2>/dev/null)"
otherusb="$(winepath -w "$root/tests/logonsim/examples/other-usb-key.txt" 2>/dev/null)"
step "alice also gets a FIDO2 key of another make, plugged in over USB (no Velkor reader)"
VELKOR_VSCARD_SCENARIO="$usbkey" wine velkorctl.exe associate alice --interface usb | tr -d '\r' | sed 's/^/   /'
expect "the USB key is associated by the credential made on it" 0 "${PIPESTATUS[0]}"
wine velkorctl.exe status | tr -d '\r' | grep -E '^Token fido-' | sed 's/^/   /'
sleep 0.3 # the virtual key counts in tenths of seconds across processes

step "alice logs on with the USB key alone: it signs a fresh challenge with its credential"
wine logon_simulator.exe --token-scenario "$usbkey" --tile 0 | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "alice is logged on with the USB key" 0 "${PIPESTATUS[0]}"

step "Someone plugs in another USB security key"
output=$(wine logon_simulator.exe --token-scenario "$otherusb" --tile 0)
status=$?
printf '%s\n' "$output" | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "the other key is refused" 1 "$status"

step "alice left the token at home and tries without it"
wine logon_simulator.exe --tile 0 | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "the logon is refused with the message on her tile" 1 "${PIPESTATUS[0]}"

step "alice clicks the link and types her recovery code"
wine logon_simulator.exe --tile 0 --recovery "$code" | tr -d '\r' | grep -E 'Click|Typing recovery|Status|Result|Msv1_0' | sed 's/^/   /'
expect "alice is logged on with the recovery code" 0 "${PIPESTATUS[0]}"
if wine reg query 'HKLM\SOFTWARE\Halvane\FIDO2\auth\users\alice' /v sec >/dev/null 2>&1; then
  echo "   -> NOT AS EXPECTED: the typed code was left in the registry"; failures=$((failures + 1))
else
  echo "   -> as expected: the typed code is gone from the registry"
fi

step "alice's key, enrolled once, goes to a second computer (another Wine prefix): export here, import there"
doc="$root/build/mingw/demo-alice.json"
rm -f "$doc"
wine velkorctl.exe export alice --file "$(winepath -w "$doc" 2>/dev/null)" | tr -d '\r' | sed 's/^/   /'
expect "alice's key exported" 0 "${PIPESTATUS[0]}"
sed 's/^/      /' "$doc"
first="$WINEPREFIX"
export WINEPREFIX="$second"
wineboot --init >/dev/null 2>&1; wineserver -w; wineserver -p
wine msiexec /i "$(winepath -w "$msi")" /qn; expect "the second computer has Velkor FIDO2 Login from the same MSI" 0 $?
wine logon_simulator.exe --register-stand-in >/dev/null
wine velkorctl.exe enable computer >/dev/null; expect "token logon switched on there" 0 $?
wine velkorctl.exe import "$(winepath -w "$doc" 2>/dev/null)" --enable | tr -d '\r' | sed 's/^/   /'
expect "alice's key imported there, her factor on" 0 "${PIPESTATUS[0]}"
wine logon_simulator.exe --token-scenario "$token" --tile 0 | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "alice logs on there with the same key, which proves the same credential" 0 "${PIPESTATUS[0]}"
wine logon_simulator.exe --token-scenario "$lookalike" --tile 0 | tr -d '\r' | grep -E 'Status|Result|Msv1_0' | sed 's/^/   /'
expect "the look-alike is refused there too" 1 "${PIPESTATUS[0]}"
export WINEPREFIX="$first"

echo
if [ "$failures" -eq 0 ]; then echo "DEMO PASSED"; exit 0; fi
echo "DEMO FAILED ($failures unexpected steps)"
exit 1
