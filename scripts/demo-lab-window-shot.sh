#!/usr/bin/env bash
# Takes a picture of the window on the lab's 300-unit fleet at its first-start size (the lab
# keeps no settings from an earlier run), driven with real key presses on the display (xdotool):
#   default-size  the listed fleet: OUT_FOLDER/fleet-default.png
#   guard-shot    every unit selected (Ctrl+A), Update Selected Units (Ctrl+U), and the box that
#                 asks about the units already up to date, over the window: OUT_FOLDER/guard-box.png
# Runs inside the lab's namespace, in its work folder (demo-lab-run.sh default-size|guard-shot).
# Usage: demo-lab-window-shot.sh LAB_FOLDER OUT_FOLDER default-size|guard-shot
set -euo pipefail
lab=$1
out=$2
shot=$3
source "$(dirname "$0")/demo-lab-keys.sh"

"$lab/app/bryx-updater" &
updater=$!
trap 'kill "$updater" 2>/dev/null || true' EXIT
# Only the window and its box: the rest of the virtual screen is black and trimmed away.
picture() {
    import -window root png:- | convert - -trim +repage "$out/$1"
    echo "Saved $out/$1"
}

# The first tick lists the units that answered and warns about power; two more ticks for every
# unit's status and the table to settle.
press "Power Off Warning" Return
sleep 11
case "$shot" in
default-size)
    picture fleet-default.png
    ;;
guard-shot)
    press "Bryx Updater" ctrl+a
    sleep 0.5
    press "Bryx Updater" ctrl+u
    wait_for 60 has_window "Units Up to Date"
    sleep 1
    picture guard-box.png
    # Cancel: nothing is updated.
    press "Units Up to Date" Escape
    ;;
esac
