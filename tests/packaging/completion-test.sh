#!/usr/bin/env bash
# Checks the bash completion of bryx-updater-cli: it registers itself, offers the commands first,
# and over all commands offers the options of the program's --help, no more and no fewer.
# Usage: completion-test.sh COMPLETION-SCRIPT BIN-DIR
set -euo pipefail
script=$1 bin=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

# shellcheck source=/dev/null
source "$script"
[ "$(complete -p bryx-updater-cli)" = "complete -F _bryx_updater_cli bryx-updater-cli" ] || fail "not registered"
offered() {
    COMP_WORDS=(bryx-updater-cli "$@")
    COMP_CWORD=$#
    _bryx_updater_cli
    printf '%s\n' "${COMPREPLY[@]}"
}
[ "$(offered '' | xargs)" = "list update check history --help --version" ] || fail "commands: $(offered '' | xargs)"
[ "$(offered update --re | LC_ALL=C sort | xargs)" = "--reboot-deadline --reflash --report --reset-edid" ] \
    || fail "update --re: $(offered update --re | xargs)"
[ "$(offered update --type E | xargs)" = "ENC" ] || fail "--type values"

help=$(timeout 60 "$bin/bryx-updater-cli" --help) || fail "--help exit code $?"
options() { grep -oE -- '--[a-z][a-z-]*[a-z]' | LC_ALL=C sort -u; }
in_help=$(options <<<"$help")
in_completion=$({ offered ''; offered list --; offered update --; offered check --; offered history --; } | options)
[ "$in_help" = "$in_completion" ] || {
    diff <(echo "$in_help") <(echo "$in_completion") | sed 's/^</only in --help:/; s/^>/only in the completion:/' \
        | grep only
    fail "the completion and --help differ"
}
echo "completion: $(wc -l <<<"$in_completion") options, as --help"
