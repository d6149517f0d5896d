#!/usr/bin/env bash
# Installs what is missing, builds the updater and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install-deps.sh" xvfb xauth
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$(nproc)" --target bryx-updater

# The updater looks for its packages (*.bin, *.ver) beside itself.
cd "$root/build/bin"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting the updater on a virtual one (Xvfb)."
    exec xvfb-run -a ./bryx-updater
fi
exec ./bryx-updater
