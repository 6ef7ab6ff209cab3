#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The one Debian 13 (trixie) root the tests use, for two things a Debian 12
# host cannot give: wine 10 for the Windows exe in the test machine (Debian
# 12 has only wine 8.0, whose HID stack neither starts hidapi nor reads the
# device's strings from USB), and Debian 13's compiler, libraries and package
# tools for scripts/test-debian13.sh. Makes it once (debootstrap, from the
# Debian mirror this machine's apt already uses) with wine64, a wine prefix
# at /root/prefix whose bus driver (winebus) reads hidraw nodes and learns of
# new ones from udev, and the packages of install-packages.sh --package-tools.
# Cached in build/wine-root and made again only when this script changes.
# Test-only: nothing of it is shipped or committed.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$PWD/build/wine-root
root=$work/root
key=$(sha256sum "$0" | cut -d' ' -f1)
if [ -f "$work/ready" ] && [ "$(cat "$work/ready")" = "$key" ]; then
    exit 0
fi
scripts/install-packages.sh --wine-root

# The first Debian archive (not the security one) this machine's apt reads.
source scripts/lib.sh
mirror=$(debian_mirror)
[ -n "$mirror" ] || { echo "wine root: no Debian archive in this machine's apt sources"; exit 1; }

echo "wine root: Debian trixie with wine 10 and the build tools in build/wine-root, once (about 5 minutes; 330 MB to fetch)"
debian_root "$root" DEBIAN_FRONTEND=noninteractive WINEPREFIX=/root/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d

rm -rf "$work"
mkdir -p "$work"
if ! timeout 1200 debootstrap --variant=minbase trixie "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 15 "$work/debootstrap.log"
    echo "wine root: FAILED: cannot make a trixie root from $mirror (is its trixie suite reachable?)"
    exit 1
fi
for dir in proc sys dev; do bind "/$dir" "$root/$dir"; done
if ! timeout 1200 "${in_root[@]}" apt-get install -y -qq --no-install-recommends wine64 >"$work/wine-install.log" 2>&1; then
    tail -n 15 "$work/wine-install.log"
    echo "wine root: FAILED: cannot install wine64 in the trixie root"
    exit 1
fi
# Debian 13's own build and package tools, for scripts/test-debian13.sh,
# from the same list the host installs from.
cp scripts/install-packages.sh "$root/tmp/install-packages.sh"
if ! timeout 1200 "${in_root[@]}" bash /tmp/install-packages.sh --package-tools >"$work/tools-install.log" 2>&1; then
    tail -n 15 "$work/tools-install.log"
    echo "trixie root: FAILED: cannot install the build tools in the trixie root"
    exit 1
fi
rm -f "$root/tmp/install-packages.sh"
"${in_root[@]}" apt-get clean
# The prefix, and winebus set to read hidraw nodes with udev's help
# (DisableUdevd=0; without udevd it would watch /dev, which breaks on a replug).
timeout 300 "${in_root[@]}" /usr/lib/wine/wine64 wineboot --init >"$work/prefix.log" 2>&1
winebus='HKLM\System\CurrentControlSet\Services\winebus'
timeout 120 "${in_root[@]}" /usr/lib/wine/wine64 reg add "$winebus" /v "Enable SDL" /t REG_DWORD /d 0 /f >>"$work/prefix.log" 2>&1
timeout 120 "${in_root[@]}" /usr/lib/wine/wine64 reg add "$winebus" /v DisableUdevd /t REG_DWORD /d 0 /f >>"$work/prefix.log" 2>&1
timeout 120 "${in_root[@]}" /usr/lib/wine/wineserver64 -w
unmount_all
[ -f "$root/root/prefix/system.reg" ] || { cat "$work/prefix.log"; echo "wine root: FAILED: no wine prefix"; exit 1; }
echo "$key" >"$work/ready"
echo "wine root: $(du -sh "$work" | cut -f1) in build/wine-root, wine64 $(chroot "$root" dpkg-query -W -f='${Version}' wine64)"
