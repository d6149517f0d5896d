#!/usr/bin/env bash
# Runs the demo lab inside the private network namespace that run.sh made: the simulated fleet,
# then the updater on the current display or on a virtual one.
# Usage: demo-lab-run.sh LAB_FOLDER BIN_FOLDER
#        demo|screenshots|screenshot|batch-shots|rollout-shot|fleet-shot|guard-shot|default-size|autoplay [TARGET]
set -euo pipefail
lab=$1
bin=$2
mode=$3
target=${4:-}

fleet="$lab/fleet.ini"
case "$mode" in fleet-shot|guard-shot|default-size) fleet="$lab/fleet300.ini" ;; esac
"$bin/unitsim" "$fleet" > "$lab/unitsim.log" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q '^READY' "$lab/unitsim.log" && break
    sleep 0.2
done
grep -q '^READY' "$lab/unitsim.log" || { cat "$lab/unitsim.log" >&2; exit 1; }
echo "Simulated fleet ready ($(head -n 1 "$lab/unitsim.log")); its events: $lab/unitsim.log"

cd "$lab/work"
# The lab's own folders: nothing it does reaches the operator's data or settings.
export TMPDIR="$lab/tmp" XDG_DATA_HOME="$lab/data" XDG_CONFIG_HOME="$lab/config"
case "$mode" in
demo)
    "$lab/app/bryx-updater"
    ;;
autoplay)
    # On the current display if there is one, else on a virtual one with room to spare around the
    # window, so that the animation, recorded pixel for pixel, never loses its edge.
    here=$(cd "$(dirname "$0")" && pwd)
    if [ -n "${DISPLAY:-}" ]; then
        "$here/demo-lab-autoplay.sh" "$lab" "$target"
    else
        xvfb-run -a -s "-screen 0 1600x900x24 -nolisten tcp" "$here/demo-lab-autoplay.sh" "$lab" "$target"
    fi
    ;;
batch-shots)
    xvfb-run -a -s "-screen 0 1100x720x24 -nolisten tcp" "$bin/demoshots" "$lab/app" "$target"
    ;;
rollout-shot)
    xvfb-run -a -s "-screen 0 1100x720x24 -nolisten tcp" "$bin/demoshots" "$lab/app" "$target" rollout
    ;;
fleet-shot)
    xvfb-run -a -s "-screen 0 1400x1000x24 -nolisten tcp" "$bin/demoshots" "$lab/app" "$target" fleet
    ;;
guard-shot|default-size)
    # The screen the 300-unit fleet was tried on; the window opens at its first-start size.
    here=$(cd "$(dirname "$0")" && pwd)
    xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "$here/demo-lab-window-shot.sh" "$lab" "$target" "$mode"
    ;;
screenshots|screenshot)
    export BRYX_LAB_TARGET=$target BRYX_LAB_APP="$lab/app/bryx-updater" BRYX_LAB_MODE=$mode
    xvfb-run -a -s "-screen 0 1100x720x24 -nolisten tcp" bash -c '
        "$BRYX_LAB_APP" &
        updater=$!
        if [ "$BRYX_LAB_MODE" = screenshot ]; then
            # The first tick lists the fleet 5 seconds after start; take the picture then.
            sleep 7
            # Only the window: the rest of the virtual screen is black and trimmed away.
            import -window root png:- | convert - -trim +repage "$BRYX_LAB_TARGET"
            kill $updater
            echo "Screenshot saved: $BRYX_LAB_TARGET"
        else
            n=0
            while kill -0 $updater 2>/dev/null; do
                sleep 5
                import -window root "$BRYX_LAB_TARGET/lab-$(printf %04d $n).png" && n=$((n + 1))
            done
        fi
        wait $updater || true'
    ;;
esac
