#!/usr/bin/env bash
# Installs what is missing, builds the updater and starts it.
#
#   scripts/run.sh                    the demo lab (default): a simulated fleet of every unit
#                                     family on a private virtual network, sample packages, and
#                                     the updater on that network; without a display, --autoplay
#   scripts/run.sh --autoplay [DIR]   the demo lab plays a whole update by itself (on a virtual
#                                     display when there is none), then quits; stills and an
#                                     animation go to DIR (default demo-lab/autoplay)
#   scripts/run.sh --screenshots DIR  the demo lab on a virtual display, saving a screenshot
#                                     every 5 seconds
#   scripts/run.sh --screenshot FILE  the demo lab on a virtual display: one screenshot of the
#                                     listed fleet, then quit
#   scripts/run.sh --batch-shots DIR  the demo lab on a virtual display: every unit with an update
#                                     is updated in one batch, and pictures are saved into DIR
#                                     mid-batch and once a unit is overdue (about 4 minutes)
#   scripts/run.sh --rollout-shot DIR the demo lab on a virtual display: the same batch one unit
#                                     at a time, halting at its first failure; a picture of the
#                                     halted batch and one of the History window over it go into
#                                     DIR (about 4 minutes)
#   scripts/run.sh --fleet-shot DIR   a lab of 300 simulated units on a virtual display: the
#                                     units needing an update are updated in one batch, and a
#                                     picture of the units needing attention goes into DIR
#                                     (about 5 minutes)
#   scripts/run.sh --guard-shot DIR   the 300-unit lab on a 1920x1080 virtual display: every unit
#                                     selected and Update Selected Units pressed; a picture of
#                                     the box about the units already up to date goes into DIR
#                                     (guard-box.png)
#   scripts/run.sh --default-size DIR the 300-unit lab on a 1920x1080 virtual display: a picture
#                                     of the listed fleet in the window at its first-start size
#                                     goes into DIR (fleet-default.png)
#   scripts/run.sh --real DIR         the updater on the real network, from DIR, a folder with
#                                     real packages (*.bin, *.ver); the program is copied there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=demo
target=""
case "${1:-}" in
    "") ;;
    --autoplay) mode=autoplay; target=${2:-}; ;;
    --screenshots) mode=screenshots; target=${2:?a folder for the screenshots}; ;;
    --screenshot) mode=screenshot; target=${2:?a file for the screenshot}; ;;
    --batch-shots) mode=batch-shots; target=${2:?a folder for the pictures}; ;;
    --rollout-shot) mode=rollout-shot; target=${2:?a folder for the picture}; ;;
    --fleet-shot) mode=fleet-shot; target=${2:?a folder for the picture}; ;;
    --guard-shot) mode=guard-shot; target=${2:?a folder for the picture}; ;;
    --default-size) mode=default-size; target=${2:?a folder for the picture}; ;;
    --real) mode=real; target=${2:?a folder with the real packages}; ;;
    *) sed -n '2,34p' "$0"; exit 2 ;;
esac

"$root/scripts/install-deps.sh" xvfb xauth imagemagick xdotool
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target bryx-updater unitsim demoshots

has_display() { [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; }

if [ "$mode" = real ]; then
    target=$(cd "$target" && pwd)
    # The updater looks for its packages beside itself.
    cp "$root/build/bin/bryx-updater" "$target/"
    cd "$target"
    if ! has_display; then
        echo "The updater needs a display to run on the real network." >&2
        exit 1
    fi
    echo "Starting the updater on the real network, with the packages in $target"
    exec ./bryx-updater
fi

if [ "$mode" = demo ] && ! has_display; then
    mode=autoplay
    echo "No display: the demo lab plays a whole update by itself on a virtual one."
fi
[ "$mode" = autoplay ] && [ -z "$target" ] && target="$root/demo-lab/autoplay"
[ -n "$target" ] && case "$target" in /*) ;; *) target="$PWD/$target" ;; esac

lab="$root/demo-lab"
"$root/scripts/demo-lab-setup.sh" "$lab" "$root/build/bin"
if [ -n "$target" ] && [ "$mode" != screenshot ]; then
    mkdir -p "$target"
    [ "$mode" = screenshots ] && echo "Screenshots go to $target every 5 seconds; stop with Ctrl+C."
fi
# Everything from here on lives in a private network namespace: nothing reaches a real network.
peers=24
case "$mode" in fleet-shot|guard-shot|default-size) peers=310 ;; esac
BRYX_NETNS_PEERS=$peers exec "$root/tests/netns-run.sh" "$root/scripts/demo-lab-run.sh" "$lab" "$root/build/bin" "$mode" "$target"
