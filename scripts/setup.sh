#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test: the mingw-w64 cross
# compiler, Wine, Xvfb, CMake, GoogleTest's sources, nlohmann/json (velkorctl's enrolment
# documents), msitools and wixl, osslsigncode for signed builds, gcab for the LSA plug-in
# signing cabinet, the build machine's C compiler and OpenSSL for the tests' ECDH stand-in
# (Wine's CNG derives no ECDH secret), and any further packages named as arguments.
set -euo pipefail
packages=(cmake make g++-mingw-w64-x86-64-posix wine wine64 xvfb googletest nlohmann-json3-dev python3 imagemagick msitools wixl osslsigncode gcab gcc libssl-dev "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
