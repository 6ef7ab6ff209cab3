#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A distribution's packager's build: -DBUILD_TESTING=OFF in a minimal Debian
# 12 root that holds only the compiler, CMake, pkg-config, hidapi, libsystemd
# and the packing tools (dpkg-dev and file for the .deb, rpm for the RPM): no
# GoogleTest, umockdev or Python. It configures, builds and packs the
# program, its manual page and both packages, then installs the .deb there
# with apt and runs the installed program. The root is made once (about 1.5
# minutes, debootstrap from the Debian mirror this machine's apt uses) in
# build/packager-root, and again only when this script changes; with
# --root-only the script only makes it.
# Test-only: nothing of it is shipped or committed.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source scripts/lib.sh
scripts/install-packages.sh --wine-root  # debootstrap

work=$project/build/packager-root
root=$work/root
packages=(g++ cmake make pkg-config libhidapi-dev libsystemd-dev dpkg-dev file rpm)
debian_root "$root" DEBIAN_FRONTEND=noninteractive
key=$(sha256sum "$0" | cut -d' ' -f1)
if [ ! -f "$work/ready" ] || [ "$(cat "$work/ready")" != "$key" ]; then
    rm -rf "$work" && mkdir -p "$work"
    if ! timeout 1200 debootstrap --variant=minbase bookworm "$root" "$(debian_mirror)" >"$work/debootstrap.log" 2>&1 ||
        ! timeout 1200 "${in_root[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >"$work/install.log" 2>&1; then
        tail -n 15 "$work"/*.log
        echo "packager root: FAILED: cannot make a bookworm root with ${packages[*]}"
        exit 1
    fi
    "${in_root[@]}" apt-get clean
    echo "$key" >"$work/ready"
fi
[ "${1:-}" != --root-only ] || exit 0
source_dir=/tmp/quennet
tree_into_root "$root" "$source_dir"

clean_root() {
    local found
    found=$("${in_root[@]}" dpkg-query -W -f='${Package}\n' | grep -E '^(libgtest|googletest|umockdev|libumockdev|python3)' || true)
    [ -z "$found" ] || { echo "the root holds $found"; return 1; }
}
packager_build() {
    "${in_root[@]}" SOURCE_DATE_EPOCH="$epoch" bash -c "cd $source_dir &&
        cmake -S . -B build -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >build.log 2>&1 &&
        cmake --build build -j2 >>build.log 2>&1 && (cd build && cpack >>build.log 2>&1) &&
        ls build/quennet-update_*.deb build/quennet-update-*.rpm || { tail -n 30 build.log; exit 1; }"
}
installed() {
    "${in_root[@]}" bash -c "{ apt-get install -y -qq $source_dir/build/quennet-update_*.deb >/tmp/install.log 2>&1 ||
        { cat /tmp/install.log; exit 1; }; } &&
        quennet-update --version && test -f /usr/share/man/man1/quennet-update.1.gz &&
        test -f /usr/lib/udev/rules.d/70-quennet-update.rules && dpkg -r quennet-update >/dev/null"
}
check "packager: the root holds no GoogleTest, umockdev or Python" clean_root
check "packager: -DBUILD_TESTING=OFF configures, builds and packs the .deb and the RPM" packager_build
check "packager: its .deb installs there with its manual page and udev rule, and runs" installed
closing_line
