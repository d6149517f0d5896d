#!/bin/sh
# Updates every unit that needs it, once, and keeps what the run found. Started by
# bryx-updater-nightly@OPERATOR.service; arguments are passed on to `bryx-updater-cli update`
# (for example --packages DIR).
#
# Each run leaves three files in $STATE_DIRECTORY/runs/, named after the run's start:
#   YYYY-MM-DDTHHMMSS-events.jsonl   every JSON line the run printed, the summary last
#   YYYY-MM-DDTHHMMSS-summary.json   the summary line alone
#   YYYY-MM-DDTHHMMSS-report.csv     the CSV report, as the window's Save Report writes it
# and latest-summary.json in $STATE_DIRECTORY points at the newest summary. Files older than
# BRYX_KEEP_DAYS days (default 90) are removed. Progress lines go to stderr, that is the journal.
#
# The exit code is the program's own: 0 every selected unit confirmed, 1 some failed, overdue
# or refused, or the report not saved, 2 stopped, 3 bad usage, 4 could not start.
set -u

cli=${BRYX_UPDATER_CLI:-/usr/bin/bryx-updater-cli}
state=${STATE_DIRECTORY:-${XDG_DATA_HOME:?neither STATE_DIRECTORY nor XDG_DATA_HOME is set}}
keep_days=${BRYX_KEEP_DAYS:-90}
runs=$state/runs
mkdir -p "$runs" || exit 4

stamp=$(date +%Y-%m-%dT%H%M%S)
events=$runs/$stamp-events.jsonl
summary=$runs/$stamp-summary.json

# A stop (systemctl stop, shutdown) signals this script alone (KillMode=mixed). The signal is
# passed on: the program commands no more units and waits for the commanded ones. If they are not
# done within BRYX_STOP_GRACE seconds (default 60, well inside the service's TimeoutStopSec), a
# second signal makes it quit at once. Either way it writes its summary and report, and exits
# with 2; this script stays to file them.
grace=${BRYX_STOP_GRACE:-60}
timer=
# shellcheck disable=SC2317 # run by the trap below
stop() {
    kill -TERM "$pid" 2>/dev/null
    if [ -z "$timer" ]; then
        (sleep "$grace" && kill -TERM "$pid" 2>/dev/null) &
        timer=$!
    fi
}

"$cli" update --needs-update --yes --json --report "$runs/$stamp-report.csv" "$@" >"$events" &
pid=$!
trap stop TERM INT HUP
# A signal ends the wait early: wait again until the program has ended (a program that has ended
# but is not yet waited for still answers kill -0).
wait "$pid"
code=$?
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid"
    code=$?
done
[ -n "$timer" ] && kill "$timer" 2>/dev/null

last=$(tail -n 1 "$events")
case $last in
*'"event":"summary"'*)
    printf '%s\n' "$last" >"$summary"
    ln -sfn "runs/$stamp-summary.json" "$state/latest-summary.json"
    ;;
*) echo "bryx-updater-nightly: the run left no summary (exit code $code)" >&2 ;;
esac

find "$runs" -type f -mtime +"$keep_days" -exec rm -f {} + 2>/dev/null
exit "$code"
