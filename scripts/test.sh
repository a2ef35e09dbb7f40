#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds everything and runs every test under Wine. Each
# phase says when it starts; the build and ctest show their own progress.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== Setting up the machine (packages it lacks)"
scripts/setup.sh
prefix="$PWD/build/mingw/wineprefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
echo "== Building for Windows with mingw-w64 (several minutes on a fresh clone)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw
echo "== Running the tests under Wine (each test as it ends)"
ctest --preset mingw
# The pure logic once more, natively under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzzer for a bounded time.
echo "== Native sanitizer tests and fuzzing"
scripts/native-tests.sh
