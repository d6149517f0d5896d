#!/usr/bin/env bash
# Runs a command inside a private network namespace, so nothing it sends can leave this machine.
# (And, for tests that ask for it, a private mount namespace with a small disk; see below.)
#
# The namespace holds loopback and one veth pair:
#   bryx0  10.77.0.1/16                  the updater's side
#   bryx1  10.77.1.1 ... 10.77.1.N/16    the units' side (N = BRYX_NETNS_PEERS, default 16,
#                                        continuing into 10.77.2.x and beyond past 254)
# A default route through bryx0 gives the limited broadcast 255.255.255.255 a way out, and it
# arrives on bryx1 inside the same namespace.
#
# Traffic between two addresses of one namespace never crosses the veth (the kernel delivers it
# locally). BRYX_NETNS_LINK_MBIT=N puts bryx1 and its addresses in a second namespace instead, so
# that everything between the two sides crosses the pair, shaped to N Mbit/s in each direction;
# the command runs on the updater's side and finds the units' side in BRYX_UNITS_NETNS (a path
# for `nsenter --net=`).
set -euo pipefail

if [ -z "${BRYX_IN_NETNS:-}" ]; then
    export BRYX_IN_NETNS=1
    # A mount namespace as well, when a small disk is asked for (below).
    mountns=()
    [ -n "${BRYX_SMALL_DISK:-}" ] && mountns=(--mount)
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --net "${mountns[@]}" -- "$0" "$@"
    else
        exec unshare --net "${mountns[@]}" --map-root-user -- "$0" "$@"
    fi
fi

# BRYX_SMALL_DISK: a folder that becomes a file system of its own, 1 MiB in all, seen only by
# this command, for tests of a disk that fills up.
if [ -n "${BRYX_SMALL_DISK:-}" ]; then
    mount -t tmpfs -o size=1m,mode=0700 bryx-small-disk "$BRYX_SMALL_DISK"
fi

peers=${BRYX_NETNS_PEERS:-16}
unitside() {
    for ((i = 0; i < peers; i++)); do
        echo "address add 10.77.$((1 + i / 254)).$((1 + i % 254))/16 dev bryx1"
    done
    echo "link set bryx1 up"
}
{
    echo "link set lo up"
    echo "link add bryx0 type veth peer name bryx1"
    echo "address add 10.77.0.1/16 dev bryx0"
    [ -z "${BRYX_NETNS_LINK_MBIT:-}" ] && unitside
    echo "link set bryx0 up"
    echo "route add default dev bryx0"
} | ip -batch -

[ -z "${BRYX_NETNS_LINK_MBIT:-}" ] && exec "$@"

# The units' namespace lives as long as a process that sleeps in it; it goes when the command ends.
unshare --net sleep infinity &
holder=$!
trap 'kill "$holder" 2>/dev/null || true' EXIT
while [ "$(readlink /proc/$holder/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do sleep 0.01; done
export BRYX_UNITS_NETNS=/proc/$holder/ns/net
ip link set bryx1 netns "$holder"
{
    echo "link set lo up"
    unitside
    echo "route add default dev bryx1"
} | nsenter --net="$BRYX_UNITS_NETNS" ip -batch -
# A token bucket at the link's rate on each side's way out; a queue of 20 ms at most, as a
# switch port's would be.
shape="root tbf rate ${BRYX_NETNS_LINK_MBIT}mbit burst 256kb latency 20ms"
tc qdisc add dev bryx0 $shape
nsenter --net="$BRYX_UNITS_NETNS" tc qdisc add dev bryx1 $shape
"$@"
