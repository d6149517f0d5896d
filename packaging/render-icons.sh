#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG into the hicolor tree beside it. The PNGs
# are committed, so building the package needs no SVG renderer; run this again after changing the
# SVG. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
icons=$(cd "$(dirname "$0")" && pwd)/icons/hicolor
svg=$icons/scalable/apps/org.bryx.Updater.svg
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$icons/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$icons/${size}x${size}/apps/org.bryx.Updater.png"
done
