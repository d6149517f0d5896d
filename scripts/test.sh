#!/usr/bin/env bash
# Builds the updater twice (plain with -Werror, then with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite in each build. Every test runs in
# its own private network namespace. Ends with CTest's summary line of each build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh"

run_suite() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DBRYX_WERROR=ON "$@"
    cmake --build "$dir" -j"$jobs"
    # Keep the summary for the end, whatever the outcome.
    set +e
    # Most suites wait on the updater's 5-second ticks, not on a processor: run more at once.
    (cd "$dir" && ctest --output-on-failure -j"$((jobs * 3))" --timeout 600) | tee "$dir/ctest.log"
    local status=${PIPESTATUS[0]}
    set -e
    return "$status"
}

status=0
run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRYX_SANITIZE=OFF || status=1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DBRYX_SANITIZE=ON || status=1

echo
echo "== Test summary =="
echo -n "plain build:     "; grep -E 'tests passed|tests failed' "$root/build/ctest.log" | tail -n 1
echo -n "sanitizer build: "; grep -E 'tests passed|tests failed' "$root/build-asan/ctest.log" | tail -n 1
exit "$status"
