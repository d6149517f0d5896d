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
{
    echo "link set lo up"
    echo "link add bryx0 type veth peer name bryx1"
    echo "address add 10.77.0.1/16 dev bryx0"
    for ((i = 0; i < peers; i++)); do
        echo "address add 10.77.$((1 + i / 254)).$((1 + i % 254))/16 dev bryx1"
    done
    echo "link set bryx0 up"
    echo "link set bryx1 up"
    echo "route add default dev bryx0"
} | ip -batch -

exec "$@"
