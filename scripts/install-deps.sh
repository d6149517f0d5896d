#!/usr/bin/env bash
# Installs the Debian 12 packages the updater needs to build, test and run, when any is missing.
# Usage: install-deps.sh [extra-package ...]
set -euo pipefail

# dpkg-dev (dpkg-shlibdeps) and file: cpack works out the .deb's Depends from the program's
# libraries. desktop-file-utils and appstream: the package test validates the desktop entry and
# the AppStream metainfo with them. systemd (systemd-analyze), ansible-core and groff-base: the
# tests of docs/ check the example unit files, run the multi-site playbook and check the man page.
# libqt6sql6-sqlite: the update history is an SQLite file (the driver is a plugin, which no library
# names); sqlite3: to read that file by hand.
packages=(qt6-base-dev qt6-base-dev-tools libgl-dev cmake g++ make
          iproute2 util-linux
          dpkg-dev file desktop-file-utils appstream
          systemd ansible-core groff-base
          libqt6sql6-sqlite sqlite3 "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may not have package lists yet; fetch them when the first attempt fails.
if ! "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
