#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each in turn, one process at a time, for the given number of seconds on a
# scratch copy of its corpus in fuzz/corpus/<harness>. Prints per harness the executions,
# executions per second, coverage (libFuzzer's cov: and ft:), the findings (crash, leak, timeout,
# out-of-memory and slow-unit files, kept under build-fuzz/runs/) and every input of the scratch
# corpus that takes longer than 100 ms to parse, timed one by one with the replay program.
#
# Usage: fuzz/run-fuzzers.sh [seconds-per-harness] [harness ...]
#   seconds-per-harness  default 180
#   harness              statusreply verfile csvimport fetchrequest addressrange unitlist (default all)
# Environment:
#   FUZZ_MERGE=1         merge inputs that reach new edges back into fuzz/corpus/<harness>
#   FUZZ_BUILD_DIR=DIR   build folder (default build-fuzz)
#   FUZZ_TIMEOUT=S       an input running longer than S seconds is a finding (default 10)
#   FUZZ_SLOW_MS=MS      parse time that counts as slow (default 100)
# Exits 1 when any harness had a finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-180}
shift || true
all=(statusreply verfile csvimport fetchrequest addressrange unitlist)
if [ $# -gt 0 ]; then harnesses=("$@"); else harnesses=("${all[@]}"); fi
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
timeout=${FUZZ_TIMEOUT:-10}
slow_ms=${FUZZ_SLOW_MS:-100}

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev

targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h" "fuzz_replay_$h"); done
cmake -S "$root" -B "$build" -DBRYX_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"${FUZZ_JOBS:-2}" --target "${targets[@]}"

runs=$build/runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$runs"
# Leaks count as findings; a failed check stops the run at once.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp:print_suppressions=0}

summary=()
status=0
for h in "${harnesses[@]}"; do
    dir=$runs/$h
    mkdir -p "$dir/corpus" "$dir/findings"
    cp "$root/fuzz/corpus/$h/." "$dir/corpus/" -r
    dict=()
    [ -f "$root/fuzz/$h.dict" ] && dict=(-dict="$root/fuzz/$h.dict")
    echo "== $h: fuzzing for $seconds s (log: $dir/fuzz.log)"
    # One process, no forking; -report_slow_units takes whole seconds.
    set +e
    (cd "$dir" && "$build/bin/fuzz_$h" "${dict[@]}" -max_total_time="$seconds" -timeout="$timeout" \
        -report_slow_units=1 -print_final_stats=1 -artifact_prefix="$dir/findings/" -rss_limit_mb=2048 \
        "$dir/corpus") >"$dir/fuzz.log" 2>&1
    rc=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$dir/fuzz.log" | tail -n 1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$dir/fuzz.log" | tail -n 1 | cut -d' ' -f2)
    findings=$(cd "$dir/findings" && ls 2>/dev/null | tr '\n' ' ')
    # Slow-unit reports name the input only in the log.
    slow_units=$(grep -c 'Slowest unit' "$dir/fuzz.log" || true)
    slow_inputs=$("$build/bin/fuzz_replay_$h" --max-ms "$slow_ms" --show 0 "$dir/corpus" | grep '^SLOW' || true)
    line="$h: execs ${execs:-?}, ${rate:-?}/s, cov ${cov:-?}, ft ${ft:-?}, findings: ${findings:-none}"
    [ "$rc" -ne 0 ] && line+=" (fuzzer exit $rc)"
    [ "$slow_units" -gt 0 ] && line+=", $slow_units slow-unit reports"
    [ -n "$slow_inputs" ] && line+=$'\n'"  over $slow_ms ms (instrumented build):"$'\n'"$slow_inputs"
    if [ -n "$findings" ] || [ "$rc" -ne 0 ] || [ "$slow_units" -gt 0 ]; then status=1; fi
    summary+=("$line")
    if [ "${FUZZ_MERGE:-0}" = 1 ]; then
        # Only inputs that reach new edges, and as few as cover them: hit counts alone would keep
        # hundreds of near-copies.
        "$build/bin/fuzz_$h" -set_cover_merge=1 -use_counters=0 "$root/fuzz/corpus/$h" "$dir/corpus" \
            >"$dir/merge.log" 2>&1
        echo "   merged: $(grep -o 'MERGE-OUTER: [0-9]* new files' "$dir/merge.log" || echo 'see merge.log')"
    fi
done

echo
echo "== Fuzzing summary ($seconds s per harness, runs in $runs) =="
printf '%s\n' "${summary[@]}"
exit "$status"
