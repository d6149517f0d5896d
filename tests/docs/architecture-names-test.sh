#!/usr/bin/env bash
# Checks that docs/architecture.md and docs/layout.md (the folders the README links to) name only
# what exists: every type-like CamelCase name they put in backticks is defined (class, struct,
# enum, namespace or alias) somewhere in the sources, and every path under src/ they put in
# backticks (a glob or {a,b} list allowed) matches a file.
# Qt's own types (Q followed by a capital) are not the sources' to define.
# Usage: architecture-names-test.sh DOCS-DIR [BIN-DIR]
set -euo pipefail
docs=$1
root=$(cd "$docs/.." && pwd)
notes=("$docs/architecture.md" "$docs/layout.md")
fail=0
missing() { echo "FAIL: architecture.md or layout.md names $1, which does not exist in the sources" >&2; fail=1; }

spans=$(cat "${notes[@]}" | grep -oE '`[^`]+`' | tr -d '`' | LC_ALL=C sort -u)

types=$(grep -oE '\b[A-Z][a-z0-9]+([A-Z][A-Za-z0-9]*)+\b' <<<"$spans" | grep -vE '^Q[A-Z]' | LC_ALL=C sort -u || true)
checked=0
for name in $types; do
    checked=$((checked + 1))
    defined="\\b(class|struct|enum( class)?|namespace)[[:space:]]+([A-Za-z_][A-Za-z0-9_]*::)*$name\\b[^;]*\$"
    # An enum is often defined on one line, its values and all.
    enumeration="\\benum( class)?[[:space:]]+$name[[:space:]]*(:[^{;]*)?\\{"
    alias="\\b(using[[:space:]]+$name[[:space:]]*=|typedef\\b.*\\b$name;)"
    grep -rqE --include='*.h' --include='*.cpp' "$defined|$enumeration|$alias" \
        "$root/src" "$root/tools" "$root/bench" "$root/tests" || missing "the type $name"
done

paths=$(grep -oE '(^|[^A-Za-z0-9_/.])src/[^[:space:]`,;()]*' <<<"$spans" | sed -E 's#^[^s]*src/#src/#' | LC_ALL=C sort -u || true)
for path in $paths; do
    checked=$((checked + 1))
    # Brace lists and globs are expanded against the tree; an unmatched glob stays as written.
    safe=$(tr -cd 'A-Za-z0-9_./*{},-' <<<"$path")
    matches=$(cd "$root" && eval "shopt -s nullglob; echo $safe")
    found=0
    for match in $matches; do [ -e "$root/$match" ] && found=1; done
    [ "$found" = 1 ] || missing "the path $path"
done

[ "$checked" -gt 0 ] || { echo "FAIL: no names found in ${notes[*]}" >&2; exit 1; }
[ "$fail" = 0 ] || exit 1
echo "architecture.md, layout.md: $checked names and paths, all in the sources"
