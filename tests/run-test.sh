#!/usr/bin/env bash
# CTest runs every test through this script: a private network namespace (netns-run.sh), a
# private temporary folder, per-user data folder and working folder, a small disk of its own
# ($BRYX_SMALL_DISK), and the headless platform.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sandbox=$(mktemp -d "${TMPDIR:-/tmp}/bryx-test.XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
mkdir -p "$sandbox/tmp" "$sandbox/data" "$sandbox/config" "$sandbox/runtime" "$sandbox/work" "$sandbox/small"
chmod 700 "$sandbox/runtime"
export TMPDIR="$sandbox/tmp"
export XDG_DATA_HOME="$sandbox/data"
export XDG_CONFIG_HOME="$sandbox/config"
export XDG_RUNTIME_DIR="$sandbox/runtime"
export QT_QPA_PLATFORM=offscreen
export BRYX_TEST_SOURCE_DIR="$here"
export BRYX_SMALL_DISK="$sandbox/small"
cd "$sandbox/work"
"$here/netns-run.sh" "$@"
