#!/usr/bin/env bash
# Plays a whole update in the demo lab as an operator would, with real key presses on the
# display (xdotool), while the simulated fleet runs: answers the power-off warning, selects every
# unit (Ctrl+A in the table), presses Update Selected Units (Ctrl+U), skips the units already up
# to date if the window asks about them, answers Yes to both questions, waits until every unit that can finish has finished and the unit that never
# fetches is overdue, then quits. Saves stills of the moments that matter and an animation.
# Runs inside the lab's namespace, in its work folder (demo-lab-run.sh autoplay).
# Usage: demo-lab-autoplay.sh LAB_FOLDER OUT_FOLDER
set -euo pipefail
lab=$1
out=$2
events="$lab/unitsim.log"
mkdir -p "$out/frames"
rm -f "$out"/frames/*.png "$out"/*.png "$out"/demo.gif
# The updater writes its debug log, status-log lines included, into LOGFILE.txt when it exists.
: > LOGFILE.txt

started=$(date +%s)
"$lab/app/bryx-updater" &
updater=$!
recording="$out/.recording"
trap 'rm -f "$recording"; kill "$updater" 2>/dev/null || true' EXIT

say() { echo "[$(( $(date +%s) - started )) s] $*"; }
source "$(dirname "$0")/demo-lab-keys.sh"
still() {
    import -window root png:- | convert - -trim +repage "$out/$1.png"
    say "still: $out/$1.png"
}
count_events() { grep -c " $1" "$events" || true; }
at_least() { [ "$(count_events "$1")" -ge "$2" ]; }

wait_for 60 has_window "Bryx Updater"
# A frame a second for the animation, of the main window's part of the screen (its boxes open
# over it), pixel for pixel, while recording is on.
eval "$(xdotool getwindowgeometry --shell "$(window_named "Bryx Updater")")"
touch "$recording"
(
    n=0
    while kill -0 "$updater" 2>/dev/null; do
        if [ -e "$recording" ] &&
            import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" png:- 2>/dev/null |
            convert - +repage "$out/frames/$(printf %04d "$n").png" 2>/dev/null; then
            n=$((n + 1))
        fi
        sleep 1
    done
) &
framer=$!
trap 'rm -f "$recording"; kill "$updater" "$framer" 2>/dev/null || true' EXIT
say "the updater is up; the first tick lists the fleet and warns about power"
press "Power Off Warning" Return
sleep 1
still 1-listed
press "Bryx Updater" ctrl+a
sleep 0.5
press "Bryx Updater" ctrl+u
# The selection holds a unit already up to date: a window that asks about such units first does
# so in a box of its own, whose default (Return) skips them.
asked() { has_window "Units Up to Date" || has_window "Update Units?"; }
wait_for 60 asked
if has_window "Units Up to Date"; then
    press "Units Up to Date" Return
    say "skipped the units already up to date"
fi
press "Update Units?" Return
press "Reset EDID?" Return
still 2-queued
wait_for 60 at_least FETCH-START 3
sleep 4
still 3-fetching
wait_for 120 at_least REBOOTING 8
still 4-rebooting

commanded=$(grep -c "Commanding " LOGFILE.txt || true)
never=$(grep -c " NO-FETCH" "$events" || true)
finishing=$((commanded - never))
wait_for 300 at_least CONFIRMED "$finishing"
# Two more ticks for the encoders' EDID resets and the last redraw.
sleep 11
still 5-confirmed
say "every unit that can finish has; waiting for the one that never fetches to be overdue"
rm -f "$recording"
wait_for 300 grep -q "Overdue: " LOGFILE.txt
touch "$recording"
sleep 6
still 6-overdue
rm -f "$recording"
sleep 1.5

kill "$updater" 2>/dev/null || true
wait "$updater" 2>/dev/null || true
wait "$framer" 2>/dev/null || true
# Four times as fast as it happened, looping, pixel for pixel, and small enough for a README:
# one palette of 31 colours and the transparent one for every frame, taken from all of them and
# used without dithering (the texts stay sharp); a frame that repeats the one before it only
# lengthens that one; and each frame holds only what changed, the rest transparent. The palette
# comes from one sheet of the distinct frames, eight across (ImageMagick limits the side of an
# image).
frames=("$out"/frames/[0-9]*.png)
palette="$out/frames/palette.png"
convert "${frames[@]}" -layers RemoveDups miff:- |
    montage miff:- -tile 8x -geometry +0+0 miff:- |
    convert miff:- +dither -colors 31 -unique-colors "$palette"
convert -delay 25 -loop 0 "${frames[@]}" +dither -remap "$palette" \
    -layers RemoveDups -layers Optimize "$out/demo.gif"
rm -rf "$out/frames"
confirmed=$(count_events CONFIRMED)
echo
echo "Demo finished by itself: $confirmed of $commanded listed units confirmed" \
     "($never never fetched its image, as planned) in $(( $(date +%s) - started )) s."
echo "Stills: $out/[1-6]-*.png"
echo "Animation: $out/demo.gif ($(identify -format '%wx%h' "$out/demo.gif[0]")," \
     "$(identify -format '%n\n' "$out/demo.gif" | head -n 1) frames, $(du -h "$out/demo.gif" | cut -f1))"
