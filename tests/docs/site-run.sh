#!/usr/bin/env bash
# Plays one site for the tests of docs/: a simulated fleet on the units' side of the current
# network namespace, and COMMAND run against it with the site's own per-user data and temporary
# folders (so that two sites on one machine share no lock file). Exits with COMMAND's exit code.
# Usage: site-run.sh UNITSIM FLEET-FILE SITE-DIR COMMAND [ARG ...]
# Only inside a private namespace: the fleet answers whoever asks.
set -euo pipefail
[ -n "${BRYX_IN_NETNS:-}" ] || { echo "site-run.sh: not in a private network namespace" >&2; exit 3; }
unitsim=$1 fleet=$2 site=$3
shift 3

mkdir -p "$site/tmp" "$site/data"
: >"$site/unitsim.log"
"$unitsim" "$fleet" >"$site/unitsim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
# Until the simulator has bound every unit's sockets (60 s at most, for a loaded machine).
for ((i = 0; i < 600; i++)); do
    grep -q '^READY ' "$site/unitsim.log" && break
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.1
done
grep -q '^READY ' "$site/unitsim.log" || { cat "$site/unitsim.log" >&2; echo "site-run.sh: the fleet did not start" >&2; exit 3; }

status=0
TMPDIR=$site/tmp XDG_DATA_HOME=$site/data "$@" || status=$?
exit "$status"
