#!/usr/bin/env bash
# Builds the updater and its simulator in release mode and runs every benchmark, each inside its
# own private network namespace, printing the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target unitsim discoverybench

echo "== Discovery: simulated units of mixed kinds answer one burst, all at once =="
echo "kernel receive buffer cap (net.core.rmem_max): $(cat /proc/sys/net/core/rmem_max) bytes"
for units in 250 1000; do
    BRYX_NETNS_PEERS=$units "$root/tests/netns-run.sh" "$build/bin/discoverybench" "$units" 2>/dev/null | tail -n 1
done
