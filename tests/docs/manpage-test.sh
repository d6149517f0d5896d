#!/usr/bin/env bash
# Checks docs/bryx-updater-cli.1: groff formats it without a warning, and it describes the same
# options as the program's --help, no more and no fewer.
# Usage: manpage-test.sh DOCS-DIR BIN-DIR  (through run-test.sh: a private network namespace)
set -euo pipefail
docs=$1 bin=$2
page=$docs/bryx-updater-cli.1
fail() { echo "FAIL: $*" >&2; exit 1; }

warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "$warnings"; fail "groff"; }
[ -z "$warnings" ] || { echo "$warnings"; fail "groff warnings"; }

help=$(timeout 60 "$bin/bryx-updater-cli" --help) || fail "--help exit code $?"
options() { grep -oE -- '--[a-z][a-z-]*[a-z]' | LC_ALL=C sort -u; }
in_help=$(options <<<"$help")
in_page=$(sed 's/\\-/-/g' "$page" | options)
[ -n "$in_help" ] || { echo "$help"; fail "no options in --help"; }
[ "$in_help" = "$in_page" ] || {
    diff <(echo "$in_help") <(echo "$in_page") | sed 's/^</only in --help:/; s/^>/only in the man page:/' | grep only
    fail "the man page and --help differ"
}
echo "man page: $(wc -l <<<"$in_page") options, as --help"
