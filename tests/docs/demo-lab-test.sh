#!/usr/bin/env bash
# Checks the demo lab scripts/run.sh sets up, as the tool lists it against the lab's own
# packages: the units it means to be up to date are ("No update needed."), and the others are not.
# Usage: demo-lab-test.sh DOCS-DIR BIN-DIR  (through run-test.sh: a private network namespace)
set -euo pipefail
docs=$1 bin=$2
here=$(cd "$(dirname "$0")" && pwd)
lab=$(mktemp -d "${TMPDIR:-/tmp}/demo-lab-test.XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }
"$docs/../scripts/demo-lab-setup.sh" "$lab" "$bin"

# check FLEET EXPECTED: the names of the units FLEET's list says need nothing, in one line.
check() {
    "$here/site-run.sh" "$bin/unitsim" "$lab/$1" "$lab/site-${1%.ini}" \
        "$bin/bryx-updater-cli" list --csv --packages "$lab/app" >"$lab/${1%.ini}.csv" 2>/dev/null
    local current
    current=$(tr -d '\r' <"$lab/${1%.ini}.csv" | { grep ',No update needed\.$' || true; } | cut -d, -f1 | sort | paste -sd' ')
    [ "$current" = "$2" ] || fail "$1: up to date: '$current', expected '$2'"
    echo "$1: $(($(wc -l <"$lab/${1%.ini}.csv") - 1)) units listed, up to date as meant"
}
check fleet.ini "Atrium Decoder"
check fleet300.ini "$(for i in $(seq 11 30); do printf 'Room %03d %s\n' "$i" \
    "$([ $(((i - 1) % 3)) = 0 ] && echo Encoder || echo Decoder)"; done | sort | paste -sd' ')"
