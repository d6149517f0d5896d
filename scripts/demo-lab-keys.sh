# Sourced by the demo lab's scripts that drive the window with real key presses on the display
# (xdotool): waiting for a window by its title, and pressing keys in it.
# shellcheck shell=bash

# Waits up to $1 seconds for a command to succeed.
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq "$((seconds * 5))"); do
        "$@" && return 0
        sleep 0.2
    done
    echo "$(basename "$0"): gave up waiting for: $*" >&2
    return 1
}
# The window with exactly this title (xdotool takes a regular expression: the title is escaped).
window_named() {
    local pattern
    pattern=$(printf '%s' "$1" | sed 's/[][\\.*^$?+(){}|]/\\&/g')
    xdotool search --onlyvisible --name "^$pattern\$" 2>/dev/null | head -n 1
}
has_window() { [ -n "$(window_named "$1")" ]; }
# Focuses the window with this title and presses the keys.
press() {
    local title=$1
    shift
    wait_for 60 has_window "$title"
    xdotool windowfocus --sync "$(window_named "$title")"
    sleep 0.3
    xdotool key --clearmodifiers "$@"
}
