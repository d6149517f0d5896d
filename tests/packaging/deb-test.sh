#!/usr/bin/env bash
# Builds the .deb from a build tree and checks it as an operator would meet it: the files it
# holds, its computed dependencies, the desktop entry and AppStream metainfo as the desktop's own
# validators see them, the programs started through their /usr/bin links from the unpacked
# package, and the man page. Run through run-test.sh, so it is in a private network namespace.
# Usage: deb-test.sh CPACK BUILD-DIR
set -euo pipefail
cpack=$1
build=$2
id=org.bryx.Updater
work=$(mktemp -d "${TMPDIR:-/tmp}/deb-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Pack into the scratch folder, so nothing of this run is left in the build tree. cpack first
# checks that the build tree is up to date (it is: CTest runs after the build), then installs
# the program's files into its own staging folder.
"$cpack" -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Every file and link, nothing more: the updater and its command-line front-end, in their /opt
# folder.
examples=./usr/share/doc/bryx-updater/examples
expected=("./opt/bryx-updater/bryx-updater"
          "./opt/bryx-updater/bryx-updater-cli"
          "./usr/bin/bryx-updater -> ../../opt/bryx-updater/bryx-updater"
          "./usr/bin/bryx-updater-cli -> ../../opt/bryx-updater/bryx-updater-cli"
          "./usr/share/man/man1/bryx-updater-cli.1.gz"
          "./usr/share/bash-completion/completions/bryx-updater-cli"
          "$examples/README.md" "$examples/bryx-updater-nightly@.service"
          "$examples/bryx-updater-nightly@.timer" "$examples/bryx-updater-nightly.sh"
          "./usr/share/applications/$id.desktop")
for size in 128 16 24 256 32 48 64; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
done
expected+=("./usr/share/icons/hicolor/scalable/apps/$id.svg"
           "./usr/share/metainfo/$id.metainfo.xml")
listing=$(dpkg-deb -c "$deb")
echo "$listing"
actual=$(echo "$listing" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | LC_ALL=C sort)
[ "$actual" = "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)" ] || fail "unexpected file list"
for program in bryx-updater bryx-updater-cli; do
    echo "$listing" | grep -q "^-rwxr-xr-x .* \./opt/bryx-updater/$program\$" || fail "$program not executable"
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6sql6 libqt6sql6-sqlite libc6; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry"
grep -qx 'Categories=Network;Utility;' "$root/usr/share/applications/$id.desktop" || fail "categories"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" || fail "metainfo"
for size in 16 24 32 48 64 128 256; do
    file "$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png" | grep -q "PNG image data, $size x $size," \
        || fail "icon ${size}x${size}"
done
zcat "$root/usr/share/man/man1/bryx-updater-cli.1.gz" | grep -q '^\.TH BRYX-UPDATER-CLI 1 ' || fail "man page"

# Start the unpacked program through its link with an argument: it must find the package put
# beside the real binary (so it resolved its folder through the link), show no window and exit
# with -1. Without a package it would stop on a question and time out here.
printf 'SWVER:3/2/2015\n' >"$root/opt/bryx-updater/k220_demo.bin"
printf 'SWVER:3/2/2015\nWEBVER:1425384000\n' >"$root/opt/bryx-updater/k220_demo.ver"
mkdir -p "$work/run/tmp" "$work/run/data" "$work/run/config" "$work/run/runtime" "$work/run/cwd"
chmod 700 "$work/run/runtime"
: >"$work/run/cwd/LOGFILE.txt" # logging on: the log tells whether the window ran
status=0
(cd "$work/run/cwd" && TMPDIR=$work/run/tmp XDG_DATA_HOME=$work/run/data XDG_CONFIG_HOME=$work/run/config \
    XDG_RUNTIME_DIR=$work/run/runtime QT_QPA_PLATFORM=offscreen \
    timeout 60 "$root/usr/bin/bryx-updater" anything) || status=$?
log=$(cat "$work/run/cwd/LOGFILE.txt")
[ "$status" -eq 255 ] || { echo "$log"; fail "exit status $status, expected 255"; }
[ -f "$work/run/tmp/Quillet/singleinstanceupdater.txt" ] || fail "no lock file"
[[ $log == *k220_demo.bin* ]] || { echo "$log"; fail "the package beside the /opt binary was not found"; }
[[ $log != *appIsQuitting* && $log != *"exited normally"* ]] || { echo "$log"; fail "the window ran"; }

# The command-line program's usage, through its link: exit code 0, and nothing started (no
# discovery, so no lock taken either).
mkdir -p "$work/cli/tmp" "$work/cli/data"
help=$(TMPDIR=$work/cli/tmp XDG_DATA_HOME=$work/cli/data timeout 60 "$root/usr/bin/bryx-updater-cli" --help) \
    || fail "bryx-updater-cli --help exit code $?"
[[ $help == *update* && $help == *--needs-update* ]] || { echo "$help"; fail "bryx-updater-cli --help: no usage"; }
[ ! -e "$work/cli/tmp/Quillet/singleinstanceupdater.txt" ] || fail "bryx-updater-cli --help took the lock"
echo "deb-test passed"
