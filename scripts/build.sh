#!/usr/bin/env bash
# Sets up a fresh machine if needed and builds the deliverables into build/mingw/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
echo "Deliverables:"
ls -1 build/mingw/bin/Velkor*
