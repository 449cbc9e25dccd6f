#!/usr/bin/env bash
# Builds one preset (debug unless another is named: release, asan, tsan) and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
