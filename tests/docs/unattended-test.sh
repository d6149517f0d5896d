#!/usr/bin/env bash
# Checks docs/unattended as an administrator would use it:
#  - systemd-analyze verify finds nothing to say about the service and the timer, instanced for
#    an operator (it also checks that the program ExecStart names exists and that the man page
#    Documentation= names is there; both are pointed at this tree's copies);
#  - the service runs the night as the operator, with the window's files: the script, run in the
#    environment the service gives it, updates every unit of a simulated fleet, files the run's
#    summary and report, and leaves the units in the operator's units.ini (the one the sibling
#    tool reads) and the batch in the operator's history; while the window holds its lock, a
#    night does not start; stopped, a night still files its results and ends with exit code 2.
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
service=$work/units/bryx-updater-nightly@.service
sed "s|^ExecStart=/usr/local/libexec/bryx-updater-nightly.sh|ExecStart=$work/bryx-updater-nightly.sh|" \
    "$docs/unattended/bryx-updater-nightly@.service" >"$service"
grep -qx "ExecStart=$work/bryx-updater-nightly.sh" "$service" \
    || fail "the service does not start /usr/local/libexec/bryx-updater-nightly.sh, as README.md says"
cp "$docs/unattended/bryx-updater-nightly@.timer" "$work/units/"
cp "$docs/bryx-updater-cli.1" "$work/man/man1/"
operator=$(id -un)
verify=$(cd "$work/units" && MANPATH=$work/man systemd-analyze verify \
    "bryx-updater-nightly@$operator.timer" "bryx-updater-nightly@$operator.service" 2>&1) \
    || { echo "$verify"; fail "systemd-analyze verify"; }
[ -z "$verify" ] || { echo "$verify"; fail "systemd-analyze verify has warnings"; }
echo "systemd-analyze verify: clean"

# The operator's files, as the window finds them: the home folder, and the system's temporary
# folder (/tmp, here a folder of the test's own) where the window keeps its lock.
home=$work/home systmp=$work/systmp
mkdir -p "$home" "$systmp"
# The environment the service gives the script, as systemd would for the operator's instance:
# the operator's own (User=), then the unit's Environment= lines with their specifiers filled in.
grep -qx 'User=%i' "$service" || fail "the service does not run as the operator its instance names (User=%i)"
if grep -Eq '^(DynamicUser|PrivateTmp|ProtectHome)=(yes|true|on|1|read-only|tmpfs)$' "$service"; then
    fail "the service runs with a user, /tmp or home of its own, not the window's files"
fi
service_env=()
while read -r assignments; do
    for assignment in $assignments; do
        assignment=${assignment//%i/$operator}
        assignment=${assignment//%h/$home}
        assignment=${assignment//%S/$work/var-lib}
        assignment=${assignment//%t/$work/run}
        service_env+=("$assignment")
    done
done < <(sed -n 's/^Environment=//p' "$service")

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
        "${pid_into[@]}" "$work/$name.group" timeout 150 \
            "$here/site-run.sh" "$bin/unitsim" "$work/$name.ini" "$work/$name-site" \
            env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" TMPDIR="$systmp" "${service_env[@]}" \
            STATE_DIRECTORY="$work/$name" BRYX_UPDATER_CLI="$bin/bryx-updater-cli" \
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
# The window's files: the units where the sibling tool reads them, the batch in the window's history.
grep -qs "Lobby Decoder" "$home/.local/share/Quillet/units.ini" \
    || fail "calm: the units are not in the operator's units.ini, which the sibling tool reads"
[ -s "$home/.local/share/bryx-updater/history.sqlite" ] || fail "calm: the batch is not in the operator's history"

# A night while the window runs: the window's lock stops it before it drives a unit (exit code 4).
write_fleet "$work/window.ini" "Lobby Encoder"
mkdir -p "$systmp/Quillet"
: >"$systmp/Quillet/singleinstanceupdater.txt"
night window
until_seen 60 test -f "$work/window.status" || fail "window: the night did not end"
[ "$(cat "$work/window.status")" -eq 4 ] || fail "window: exit code $(cat "$work/window.status"), expected 4"
[ -f "$systmp/Quillet/singleinstanceupdater.txt" ] || fail "window: the night took the window's lock away"
rm "$systmp/Quillet/singleinstanceupdater.txt"

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
