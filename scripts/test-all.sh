#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain, ASan+UBSan and TSan builds,
# then the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
for preset in default asan tsan; do
    echo "=== ${preset} ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

if [ -f fuzz/CMakeLists.txt ]; then
    echo "=== fuzz ==="
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j "$jobs"
    ctest --preset fuzz -j "$jobs"
fi
