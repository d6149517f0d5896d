#!/usr/bin/env bash
# Checks docs/unattended as an administrator would use it:
#  - systemd-analyze verify finds nothing to say about the service and the timer (it also checks
#    that the program ExecStart names exists and that the man page Documentation= names is
#    there; both are pointed at this tree's copies);
#  - the script the service starts, run against a simulated fleet, updates every unit and files
#    the run's summary and report; stopped, it still files them and ends with exit code 2.
# Usage: unattended-test.sh DOCS-DIR BIN-DIR  (through run-test.sh: a private network namespace)
set -euo pipefail
docs=$1 bin=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lab.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/unattended-test.XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }

# The units as installed, but starting the wrapper from here.
mkdir -p "$work/units" "$work/man/man1"
cp "$docs/unattended/bryx-updater-nightly.sh" "$work/"
sed "s|^ExecStart=/usr/local/libexec/bryx-updater-nightly.sh|ExecStart=$work/bryx-updater-nightly.sh|" \
    "$docs/unattended/bryx-updater-nightly.service" >"$work/units/bryx-updater-nightly.service"
grep -qx "ExecStart=$work/bryx-updater-nightly.sh" "$work/units/bryx-updater-nightly.service" \
    || fail "the service does not start /usr/local/libexec/bryx-updater-nightly.sh, as README.md says"
cp "$docs/unattended/bryx-updater-nightly.timer" "$work/units/"
cp "$docs/bryx-updater-cli.1" "$work/man/man1/"
verify=$(cd "$work/units" && MANPATH=$work/man systemd-analyze verify \
    bryx-updater-nightly.timer bryx-updater-nightly.service 2>&1) || { echo "$verify"; fail "systemd-analyze verify"; }
[ -z "$verify" ] || { echo "$verify"; fail "systemd-analyze verify has warnings"; }
echo "systemd-analyze verify: clean"

# night NAME [ARG ...]: the script, run as the service runs it (systemd sets STATE_DIRECTORY for
# StateDirectory=), against the fleet $work/NAME.ini, in the background. Its pid goes into
# $work/NAME.pid, its exit code into $work/NAME.status; `timeout` puts the whole night in a
# process group of its own, whose id goes into $work/NAME.group.
pid_into=(sh -c 'echo $$ >"$0"; exec "$@"')
night() {
    local name=$1
    shift
    (
        status=0
        STATE_DIRECTORY=$work/$name BRYX_UPDATER_CLI=$bin/bryx-updater-cli \
            "${pid_into[@]}" "$work/$name.group" timeout 150 \
            "$here/site-run.sh" "$bin/unitsim" "$work/$name.ini" "$work/$name-site" \
            "${pid_into[@]}" "$work/$name.pid" \
            "$work/bryx-updater-nightly.sh" --packages "$work/packages" --wait 5 "$@" || status=$?
        echo "$status" >"$work/$name.status"
    ) &
}
# A night still going when the test ends (it failed) goes with it.
cleanup() {
    local group
    for group in "$work"/*.group; do
        [ -f "$group" ] && kill -TERM -- "-$(cat "$group")" 2>/dev/null || true
    done
    wait
    rm -rf "$work"
}
trap cleanup EXIT

# until_seen SECONDS COMMAND...: until COMMAND succeeds; false after SECONDS.
until_seen() {
    local tenths=$(($1 * 10))
    shift
    for ((i = 0; i < tenths; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
# check_summary NAME FIELD...: the night's summary, filed and linked, holds every FIELD.
check_summary() {
    local name=$1 summaries summary
    shift
    summaries=("$work/$name"/runs/*-summary.json)
    [ ${#summaries[@]} -eq 1 ] || fail "$name: expected one summary, got: ${summaries[*]}"
    summary=$(cat "$work/$name/latest-summary.json") || fail "$name: no latest-summary.json"
    echo "$summary"
    [ "$summary" = "$(tail -n 1 "${summaries[0]%-summary.json}-events.jsonl")" ] \
        || fail "$name: the summary is not the run's last line"
    for field in "$@"; do
        [[ $summary == *"$field"* ]] || fail "$name: the summary lacks $field"
    done
    report=${summaries[0]%-summary.json}-report.csv
    [ -s "$report" ] || fail "$name: no report beside the summary"
}

write_packages "$work/packages"

# A night with two units that need the update: both confirmed, exit code 0.
write_fleet "$work/calm.ini" "Lobby Encoder" "Lobby Decoder"
night calm
until_seen 170 test -f "$work/calm.status" || fail "calm: the night did not end"
[ "$(cat "$work/calm.status")" -eq 0 ] || { cat "$work"/calm/runs/*-events.jsonl; fail "calm: exit code $(cat "$work/calm.status")"; }
check_summary calm '"selected":2' '"confirmed":2' '"exitCode":0'
grep -q "Lobby Decoder" "$report" || { cat "$report"; fail "calm: Lobby Decoder not in the report"; }

# A night stopped (as systemctl stop does) while a unit that never fetches its image is
# commanded: the program is asked once, then once more when the grace is over; it files its
# summary, and the night ends with exit code 2.
write_fleet "$work/stopped.ini" "Stuck Encoder"
echo "behaviour=neverFetches" >>"$work/stopped.ini"
BRYX_STOP_GRACE=2 night stopped
commanded() { grep -qs '"step":"commanded"' "$work"/stopped/runs/*-events.jsonl; }
until_seen 60 commanded || fail "stopped: never commanded"
kill -TERM "$(cat "$work/stopped.pid")"
until_seen 60 test -f "$work/stopped.status" || fail "stopped: the night did not end after the stop"
[ "$(cat "$work/stopped.status")" -eq 2 ] || fail "stopped: exit code $(cat "$work/stopped.status"), expected 2"
check_summary stopped '"stopped":true' '"exitCode":2'
echo "unattended-test passed"
