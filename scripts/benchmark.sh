#!/usr/bin/env bash
# Builds everything and prints the package's logon latency per path under Wine, what a
# logon costs in registry reads, log file opens and card commands, and SHA-256
# throughput beside a native OpenSSL reference measured in the same run.
#   scripts/benchmark.sh [logons per figure] [reference package DLL]
# With a reference (another build of VelkorSubAuth.dll, say the last release), that one
# is measured right after ours in each run, for a comparison under the same conditions.
#
# It runs twice. Nearly every call the package makes is a round trip to the wine server,
# and on a virtual machine a round trip between two CPUs costs several times one on the
# same CPU: first the server and the benchmark share CPU 0 (steady figures), then the
# scheduler places them freely (what a test run sees).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
# A prefix of its own: the benchmark rewrites HKLM\SOFTWARE\Halvane and stops its wine
# server at the end, which must not disturb tests running in the build's test prefix.
prefix="$PWD/build/mingw/benchmark-prefix"
trap 'scripts/wine-prefix.sh stop "$prefix"; rm -f build/mingw/bin/benchmark-reference-package.dll' EXIT
logons="${1:-300}"
reference="${2:-}"
# The reference sits beside the benchmark under a name of its own, and only while it runs:
# the deliverable tests read every Velkor*.dll in that folder.
reference_copy=build/mingw/bin/benchmark-reference-package.dll
if [ -n "$reference" ]; then
  cp "$reference" "$reference_copy"
fi

# MB/s (10^6 bytes) from `openssl speed`, whose figures are in 1000s of bytes per second.
openssl_sha256() {
  openssl speed -seconds 2 -bytes 16384 sha256 2>/dev/null |
    awk '$1 == "sha256" { v = $NF; sub(/k$/, "", v); printf "%.1f", v / 1000 }'
}

# Starts the prefix's server (with the CPU affinity of the command prefix given) and
# runs the benchmark the same way.
run() {
  scripts/wine-prefix.sh stop "$prefix"
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
  "$@" scripts/wine-prefix.sh init "$prefix"
  # Other work on the machine changes what a round trip costs: say how busy it was.
  echo "Machine: $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)," \
       "$(wine --version 2>/dev/null); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  (cd build/mingw/bin &&
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=" \
      "$@" wine velkor_subauth_benchmark.exe "$logons")
  if [ -n "$reference" ]; then
    echo "--- the reference package, $reference"
    (cd build/mingw/bin &&
      WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=" \
        "$@" wine velkor_subauth_benchmark.exe "$logons" benchmark-reference-package.dll)
  fi
  echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

if command -v taskset >/dev/null 2>&1; then
  echo "=== Wine server and benchmark on one CPU (taskset -c 0)"
  pinned=$(run taskset -c 0)
  printf '%s\n\n' "$pinned"
fi
echo "=== Wine server and benchmark free to use every CPU"
free=$(run env)
printf '%s\n\n' "$free"

ours=$(printf '%s\n' "${pinned:-$free}" | awk -F': ' '/^SHA-256/ { sub(/ MB\/s.*/, "", $2); print $2; exit }')
if command -v openssl >/dev/null 2>&1; then
  reference=$(openssl_sha256)
  # The same without the CPU's SHA instructions (CPUID 7 EBX bit 29), closer to what
  # plain C code can reach.
  reference_plain=$(OPENSSL_ia32cap=":~0x20000000" openssl_sha256)
  sha_ext="no"
  grep -qw sha_ni /proc/cpuinfo 2>/dev/null && sha_ext="yes"
  echo "SHA-256 reference, native Linux $(openssl version | awk '{ print $1, $2 }'), speed -seconds 2 -bytes 16384:"
  echo "  with the CPU's SHA extensions (present: $sha_ext): $reference MB/s"
  echo "  without them:                                     $reference_plain MB/s"
  echo "  ours under Wine: $ours MB/s, $(awk -v a="$ours" -v b="$reference" 'BEGIN { printf "%.2f", a / b }') of the" \
       "reference ($(awk -v a="$ours" -v b="$reference_plain" 'BEGIN { printf "%.2f", a / b }') of it without SHA extensions)"
else
  echo "SHA-256 reference: openssl not found, no native figure"
fi
