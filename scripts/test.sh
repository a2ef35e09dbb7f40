#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds everything and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
prefix="$PWD/build/mingw/wineprefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
cmake --preset mingw >/dev/null
cmake --build --preset mingw
ctest --preset mingw
# The pure logic once more, natively under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzzer for a bounded time.
scripts/native-tests.sh
