#!/usr/bin/env bash
# Sets up, builds and runs the driver host; arguments go to halvex-host.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
# Only the host and what it loads: the tests build with ./scripts/test-all.sh.
cmake --build --preset default -j "$(nproc)" --target halvex-host
host=build/default/host/halvex-host
if [ ! -x "$host" ]; then
    echo "halvex-host is not built yet: the driver host program has not landed."
    echo "The libraries built; run ./scripts/test-all.sh for the tests."
    exit 0
fi
exec "$host" "$@"
