#!/usr/bin/env bash
# Prepares the demo lab folder: the program with sample packages beside it, and the fleet file
# of the simulated units.  Usage: demo-lab-setup.sh LAB_FOLDER BIN_FOLDER
set -euo pipefail
lab=$1
bin=$2
# The lab keeps its own temporary and per-user data folders, so it never touches the operator's
# units.ini or lock file, and a lab that was stopped hard leaves no lock behind.
rm -rf "$lab/app" "$lab/work" "$lab/tmp" "$lab/data" "$lab/config"
mkdir -p "$lab/app" "$lab/work" "$lab/tmp" "$lab/data" "$lab/config"
cp "$bin/bryx-updater" "$lab/app/"

web=1425384000   # 03/03/2015: newer than the units' web date, but for the units already up to date
package() {      # name software-date [minimum-date]
    local ver="SWVER:$2"$'\n'"WEBVER:$web"$'\n'
    [ -n "${3:-}" ] && ver+="MINSWVER:$3"$'\n'
    printf '%s' "$ver" > "$lab/app/$1.ver"
    # A sample image: the version lines the simulated units read, then 16 MiB of padding that
    # takes no room on disk (a sparse file). Large beside the kernel's socket buffers, so the
    # transfers' progress shows.
    printf 'SWVER:%s\nWEBVER:%s\n' "$2" "$web" > "$lab/app/$1.bin"
    truncate -s 16M "$lab/app/$1.bin"
}
package ae_demo 6/1/2015
package wp_demo 6/1/2014 1/29/2013
package k110_demo 3/2/2015
package k220_demo 3/2/2015 1/1/2014
package k3_demo 12/24/2015
package dvr_demo 6/1/2015
package k4_demo 2/2/2016
package kp_demo 7/7/2015
package kvm_demo 5/1/2015
package vod_demo 4/4/2016
package k225_demo 6/1/2015

cat > "$lab/fleet.ini" <<'FLEET'
; The demo fleet: one unit of every family, on the units' side of the lab network, one unit
; that takes the update command but never fetches its image (overdue after 3 minutes), and one
; already up to date (the K-Series package's software and web dates).
; Every unit reads its image at 1 MiB/s, so the transfers can be watched.
[fleet]
webversion=1388534400
subnet=255.255.0.0
rebootSeconds=8
fetchKiBps=1024
[lobby-encoder]
family=k220-encoder
name=Lobby Encoder
ip=10.77.1.1
swversion=1/5/2015
[stage-decoder]
family=k220-decoder
name=Stage Decoder
ip=10.77.1.2
swversion=1/5/2015
[studio-4k-encoder]
family=k225-encoder
name=Studio 4K Encoder
ip=10.77.1.3
swversion=2/1/2015
[wall-4k-decoder]
family=k225-decoder
name=Wall 4K Decoder
ip=10.77.1.4
swversion=2/1/2015
[desk-kvm-encoder]
family=kvm-encoder
name=Desk KVM Encoder
ip=10.77.1.5
swversion=9/1/2014
[desk-kvm-decoder]
family=kvm-decoder
name=Desk KVM Decoder
ip=10.77.1.6
swversion=9/1/2014
[briefing-encoder]
family=k330-encoder
name=Briefing Encoder
ip=10.77.1.7
swversion=6/1/2015
[briefing-decoder]
family=k330-decoder
name=Briefing Decoder
ip=10.77.1.8
swversion=6/1/2015
[hall-encoder]
family=k110-encoder
name=Hall Encoder
ip=10.77.1.9
swversion=11/3/2014
[hall-decoder]
family=k110-decoder
name=Hall Decoder
ip=10.77.1.10
swversion=11/3/2014
[archive-recorder]
family=recorder
name=Archive Recorder
ip=10.77.1.11
swversion=1/29/2014
[paging-audio]
family=atr
name=Paging Audio
ip=10.77.1.12
swversion=3/1/2015
[conference-audio]
family=k440
name=Conference Audio
ip=10.77.1.13
swversion=6/1/2015
[video-wall]
family=wp
name=Video Wall
ip=10.77.1.14
swversion=6/1/2013
[front-panel]
family=kpanel
name=Front Panel
ip=10.77.1.15
swversion=1/1/2015
[media-server]
family=vod
name=Media Server
ip=10.77.1.16
swversion=1/1/2016
[old-encoder]
family=legacy-encoder
name=Old Encoder
ip=10.77.1.17
[director]
family=conductor
name=Director
ip=10.77.1.18
[spare-decoder]
family=k220-decoder
name=Spare Decoder
ip=10.77.1.19
swversion=1/5/2015
behaviour=neverFetches
[atrium-decoder]
family=k220-decoder
name=Atrium Decoder
ip=10.77.1.20
swversion=3/2/2015
webversion=1425384000
FLEET

# A building's fleet for the picture of the fleet view (run.sh --fleet-shot): 300 K-Series
# encoders and decoders on 10.77.1.x and 10.77.2.x, of which 20 are up to date, 3 never fetch
# their image, 1 accepts TCP connections and never answers, and 1 encoder's EDID reset keeps
# failing.
{
    printf '[fleet]\nwebversion=1388534400\nsubnet=255.255.0.0\nrebootSeconds=8\nswversion=1/5/2015\n'
    for i in $(seq 0 299); do
        family=k220-decoder
        [ $((i % 3)) = 0 ] && family=k220-encoder
        printf '[unit%03d]\nfamily=%s\nname=Room %03d %s\nip=10.77.%d.%d\n' "$i" "$family" "$((i + 1))" \
            "$([ "$family" = k220-encoder ] && echo Encoder || echo Decoder)" "$((1 + i / 254))" "$((1 + i % 254))"
        # Up to date: the K-Series package's software and web dates.
        [ "$i" -ge 10 ] && [ "$i" -le 29 ] && printf 'swversion=3/2/2015\nwebversion=%s\n' "$web"
        case $i in
            57|148|251) printf 'behaviour=neverFetches\n' ;;
            89) printf 'tcp=hangs\n' ;;
            120) printf 'edidFailures=5\n' ;;
        esac
    done
} > "$lab/fleet300.ini"
