# Sourced by the tests of docs/: writes what a simulated site needs.
# shellcheck shell=bash

# write_packages DIR: the K-Series package, dated 03/02/2015 (software) and 03/03/2015 (web),
# newer than every unit write_fleet makes, so every unit needs the update.
write_packages() {
    mkdir -p "$1"
    local dates=$'SWVER:3/2/2015\nWEBVER:1425384000\n'
    printf '%s' "$dates" >"$1/k220_site.ver"
    # The image carries the same lines: a simulated unit reports the dates it finds in it.
    { printf '%s' "$dates"; head -c 4000 /dev/zero | tr '\0' 'Z'; } >"$1/k220_site.bin"
}

# write_fleet FILE NAME...: one K-Series unit per name, encoders and decoders in turn, at
# 10.77.1.1 and up, with the software of 01/01/2014, and back from their reboot in a second.
write_fleet() {
    local file=$1 n=0 name
    shift
    printf '[fleet]\nswversion=1/1/2014\nwebversion=1388534400\nrebootSeconds=1\n' >"$file"
    for name in "$@"; do
        n=$((n + 1))
        printf '\n[unit%d]\nname=%s\nip=10.77.1.%d\nfamily=%s\n' "$n" "$name" "$n" \
            "$([ $((n % 2)) -eq 1 ] && echo k220-encoder || echo k220-decoder)" >>"$file"
    done
}
