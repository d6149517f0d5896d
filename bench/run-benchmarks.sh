#!/usr/bin/env bash
# Builds the updater and its simulator in release mode and runs every benchmark, each inside its
# own private network namespace, printing the figures. Arguments pick sections (scan, table, discovery,
# fileserver, batch, scale, faults, history, records); without any, all of them run.
set -euo pipefail
sections=${*:-scan table discovery fileserver batch scale faults history records}
wanted() { [[ " $sections " == *" $1 "* ]]; }
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

# nginx and curl: the peer and the clients of the file server; Xvfb and xdotool: the window on a
# display of its own, its Update button pressed as an operator does.
"$root/scripts/install-deps.sh" nginx-light curl xvfb xauth xdotool
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target unitsim scanbench discoverybench fleetbench historybench tablebench recordcheck \
    bryx-updater bryx-updater-cli

# The benchmarks keep their files out of the operator's folders and run without a display.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/tmp" "$scratch/data" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export TMPDIR="$scratch/tmp" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen

# A thousand simulated units and the updater talking to them hold thousands of sockets on each
# side: as many open files as allowed, 65536 where the hard limit can be raised that far.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

if wanted scan; then
    echo "== Start-up scan: the packages' images read and hashed =="
    "$build/bin/scanbench" || echo "(the scan took longer than its target)"
    echo
fi

if wanted table; then
    echo "== Unit table: 10,000 units listed, refreshed, searched and filtered (no unit on the wire) =="
    "$root/tests/netns-run.sh" "$build/bin/tablebench" 10000 2>/dev/null | grep '^tablebench:' || true
    echo
fi

if wanted discovery; then
    echo "== Discovery: simulated units of mixed kinds answer one burst, all at once =="
    # The receive-buffer cap the kernel grants the updater's socket (net.core.rmem_max): the stock
    # 212992 bytes and a raised 8 MiB, each for one run, then back to what it was. Without the
    # right to change it, the runs use the cap as it stands.
    cap_file=/proc/sys/net/core/rmem_max
    original_cap=$(cat "$cap_file")
    caps="$original_cap"
    if [ -w "$cap_file" ]; then
        caps="212992 8388608"
        trap 'echo "$original_cap" > "$cap_file"; rm -rf "$scratch"' EXIT
    fi
    for cap in $caps; do
        [ -w "$cap_file" ] && echo "$cap" > "$cap_file"
        echo "kernel receive buffer cap (net.core.rmem_max): $(cat "$cap_file") bytes"
        for units in 250 1000; do
            # A run that misses units still prints its line (and fails): the figure is the point.
            BRYX_NETNS_PEERS=$units "$root/tests/netns-run.sh" "$build/bin/discoverybench" "$units" 2>/dev/null |
                tail -n 1 || true
        done
    done
    [ -w "$cap_file" ] && echo "$original_cap" > "$cap_file"
    echo
fi

if wanted fileserver; then
    echo "== File server: clients fetch one image at once, from the updater and from nginx =="
    # Two kinds of client: the simulated units (as commanded, reading as a unit does) and curl.
    BRYX_NETNS_PEERS=64 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 50 64 4 units
    BRYX_NETNS_PEERS=260 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 250 16 4 units
    BRYX_NETNS_PEERS=24 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 20 64 4 curl
    BRYX_NETNS_PEERS=260 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 250 16 4 curl
    # As operators run it: the window (the bryx-updater program on a virtual display of its own,
    # in the namespace, its units commanded through its Update button and curl fetching in their
    # place), and the command-line tool listing the fleet while curl fetches.
    BRYX_NETNS_PEERS=24 "$root/tests/netns-run.sh" xvfb-run -a -s "-screen 0 1600x1000x24" \
        env QT_QPA_PLATFORM=xcb "$build/bin/fleetbench" fileserver 20 64 4 curl window
    BRYX_NETNS_PEERS=24 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 20 64 4 curl tool
    # As a site would see it: the units beyond a 1 Gbit/s link.
    BRYX_NETNS_LINK_MBIT=1000 BRYX_NETNS_PEERS=24 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 20 64 2 curl
    BRYX_NETNS_LINK_MBIT=1000 BRYX_NETNS_PEERS=64 "$root/tests/netns-run.sh" "$build/bin/fleetbench" fileserver 50 16 2 units
    echo
fi

if wanted batch; then
    echo "== Batch update: Update pressed to the last confirmation, one unit alone and then a whole batch =="
    echo "open files allowed: $(ulimit -n)"
    # One address more than units: the unit updated alone comes first.
    for run in "250 0" "250 100" "1000 0" "1000 100"; do
        read -r units delay <<<"$run"
        BRYX_NETNS_PEERS=$((units + 1)) "$root/tests/netns-run.sh" "$build/bin/fleetbench" batch "$units" "$delay" ||
            echo "(batch $units $delay did not end as expected)"
    done
    # 250 units at most 50 in flight: five waves, each about as long as one unit alone. The window
    # remembers the cap it was given: in settings of this run's own, so that no later run inherits it.
    XDG_CONFIG_HOME="$scratch/config-rollout" BRYX_NETNS_PEERS=251 "$root/tests/netns-run.sh" \
        "$build/bin/fleetbench" rollout 250 50 0 ||
        echo "(rollout 250 50 did not end as expected)"
    # The same batches through the command-line tool.
    for run in "250 0" "1000 0"; do
        read -r units delay <<<"$run"
        BRYX_NETNS_PEERS=$((units + 1)) "$root/tests/netns-run.sh" "$build/bin/fleetbench" clibatch "$units" "$delay" ||
            echo "(clibatch $units $delay did not end as expected)"
    done
    # A clean batch of 235 units, then 235 live and 15 dead ones in one batch: 485 units.
    for delay in 0 100; do
        BRYX_NETNS_PEERS=485 "$root/tests/netns-run.sh" "$build/bin/fleetbench" deadbatch "$delay" ||
            echo "(deadbatch $delay did not end as expected)"
    done
    echo
fi

if wanted scale; then
    echo "== 10,000 units: listed by the core alone and by the window; a 2000-unit batch in the window =="
    BRYX_NETNS_PEERS=10000 "$root/tests/netns-run.sh" "$build/bin/fleetbench" scale 10000 core ||
        echo "(scale 10000 core did not end as expected)"
    BRYX_NETNS_PEERS=10000 "$root/tests/netns-run.sh" "$build/bin/fleetbench" scale 10000 window ||
        echo "(scale 10000 window did not end as expected)"
    BRYX_NETNS_PEERS=2001 "$root/tests/netns-run.sh" "$build/bin/fleetbench" batch 2000 0 ||
        echo "(batch 2000 0 did not end as expected)"
    echo
fi

if wanted faults; then
    echo "== Injected faults: one batch updated while a unit misbehaves or the updater is disturbed =="
    "$root/tests/netns-run.sh" "$build/bin/fleetbench" faults header
    for scenario in drop10 drop50 drop90 neverfetches neverreboots neverreturns flood idle fdlimit rewritten; do
        BRYX_NETNS_PEERS=32 "$root/tests/netns-run.sh" "$build/bin/fleetbench" faults "$scenario" ||
            echo "($scenario did not end as expected)"
    done
fi

if wanted history; then
    echo "== Update history: a file of 1,000,000 events, and a 1000-unit batch with the history kept and not =="
    "$build/bin/historybench" || echo "(the history missed a target)"
    # The same batch twice each way, in turns: the difference of the longest stalls is the
    # history's share (target: at most 5 ms more with it).
    for history in on off on off; do
        BRYX_BENCH_HISTORY=$history BRYX_NETNS_PEERS=1001 "$root/tests/netns-run.sh" "$build/bin/fleetbench" batch 1000 0 |
            grep -E "units in one batch|longest event-loop stall|history:" || echo "(batch 1000 with history $history did not end as expected)"
    done
    echo
fi

if wanted records; then
    echo "== The updater's account of each batch held against what the units received and did =="
    BRYX_NETNS_PEERS=10 "$root/tests/netns-run.sh" "$build/bin/recordcheck" || echo "(the account and the wire differ)"
    echo
fi
