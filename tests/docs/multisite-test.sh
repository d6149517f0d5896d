#!/usr/bin/env bash
# Runs docs/multisite/update-sites.yml as an administrator would, against two sites played on
# this machine: each site's workstation is a local connection whose command runs in a network
# namespace of its own (nested in this test's), with a simulated fleet that needs the update.
# Both sites' summaries (every unit confirmed, exit code 0) must reach the collected table.
# Usage: multisite-test.sh DOCS-DIR BIN-DIR  (through run-test.sh: a private network namespace)
set -euo pipefail
docs=$1 bin=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lab.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/multisite-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Two sites, each with its own fleet, packages and per-user folders. Both fleets use the same
# addresses: each lives in its own namespace.
write_fleet "$work/north.ini" "North Encoder" "North Decoder"
write_fleet "$work/south.ini" "South Encoder" "South Decoder" "South Spare Encoder"
site() { # site NAME: the inventory line of one site
    local command
    # BRYX_IN_NETNS unset: netns-run.sh makes a new namespace instead of running in this one.
    command=$(printf '"%s",' env -u BRYX_IN_NETNS -u BRYX_SMALL_DISK "$here/../netns-run.sh" \
        "$here/site-run.sh" "$bin/unitsim" "$work/$1.ini" "$work/$1" "$bin/bryx-updater-cli")
    write_packages "$work/$1-packages"
    echo "$1 ansible_connection=local bryx_cli_command='[${command%,}]'" \
        "bryx_cli_args='[\"--packages\",\"$work/$1-packages\"]'"
}
{
    echo "[sites]"
    site north
    site south
    echo "[all:vars]"
    echo "ansible_python_interpreter=/usr/bin/python3"
} >"$work/inventory.ini"

# Ansible keeps its configuration, temporary files and caches in this test's folder.
mkdir -p "$work/ansible/home"
: >"$work/ansible/ansible.cfg"
export HOME=$work/ansible/home ANSIBLE_CONFIG=$work/ansible/ansible.cfg ANSIBLE_HOME=$work/ansible \
    ANSIBLE_LOCAL_TEMP=$work/ansible/tmp ANSIBLE_REMOTE_TEMP=$work/ansible/tmp ANSIBLE_NOCOLOR=1
status=0
timeout 170 ansible-playbook -i "$work/inventory.ini" "$docs/multisite/update-sites.yml" \
    -e "bryx_results_dir=$work/results" >"$work/ansible.log" 2>&1 || status=$?
cat "$work/ansible.log"
[ "$status" -eq 0 ] || fail "ansible-playbook exit code $status, expected 0"

table=$work/results/sites.csv
[ -f "$table" ] || fail "no sites.csv"
cat "$table" "$work/results/sites.txt"
grep -qx '"north",2,2,0,0,0,""' "$table" || fail "north: not 2 of 2 confirmed with exit code 0"
grep -qx '"south",3,3,0,0,0,""' "$table" || fail "south: not 3 of 3 confirmed with exit code 0"
grep -Eq '^south +3 +3 +0 +0 +0$' "$work/results/sites.txt" || fail "south not in the text table"
grep -q '"South Spare Encoder"' "$work/results/south.json" || fail "south.json lacks its units"
echo "multisite-test passed"
