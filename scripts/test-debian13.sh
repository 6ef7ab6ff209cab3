#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Debian 13 (trixie) beside this Debian 12 host: in the trixie root that the
# Windows tests use too (scripts/wine-root.sh, made once into build/), builds
# a copy of the working tree with Debian 13's compiler and hidapi, runs the
# normal preset's tests there (umockdev and hidapi 0.14 included; not the
# campaign, the terminal's keys and signals, the README's script, another
# release's build, the version order or the sums, which test no compiler's,
# hidapi's or sd-bus's work and run in the normal build on the same kernel)
# and its package checks
# (Debian 13's lintian with its informational tags, hardening-check,
# appstreamcli, the .deb built twice and compared, the RPM), then installs
# the .deb built on this host (by the normal build's package tests) into
# Debian 13 and runs its --version; and builds the arm64 packages there with
# Debian 13's cross compiler and hardening flags (AArch64 branch protection
# among them) and checks them as the amd64 ones, under Debian 13's lintian
# and hardening-check. Ends with "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
scripts/wine-root.sh
root=$project/build/wine-root/root
work=/tmp/quennet  # inside the root
source scripts/lib.sh
tree_into_root "$root" "$work"
debian_root "$root" SOURCE_DATE_EPOCH="$epoch"
# The release the test command was given, if any, goes into the root too.
if [ -n "${QUENNET_RELEASE_DIR:-}" ]; then
    mkdir -p "$root/tmp/quennet-release"
    cp "$QUENNET_RELEASE_DIR"/mainboard.bin "$QUENNET_RELEASE_DIR"/control.bin "$QUENNET_RELEASE_DIR"/release.conf "$root/tmp/quennet-release/"
    in_root+=(QUENNET_RELEASE_DIR=/tmp/quennet-release)
fi
echo "Debian $(cat "$root/etc/debian_version"): $(chroot "$root" g++ --version | head -n 1), hidapi $(chroot "$root" sh -c 'dpkg-query -W -f="\${Version}" libhidapi-dev:$(dpkg --print-architecture)')"

build_and_test() {
    "${in_root[@]}" bash -c "cd $work && cmake --preset default >/dev/null &&
        { cmake --build --preset default >build.log 2>&1 || { tail -n 30 build.log; exit 1; }; } &&
        { ! grep -B2 -A8 'warning:' build.log; } &&
        ctest --preset default -E '^(campaign\\..*|try_emulated\\..*|cases/(interrupted|final_prompt)\\..*|second_program\\..*|package\\.(release|versions|sums))\$' &&
        source scripts/lib.sh &&
        tools_all_there build/default"
}
host_package() {
    local deb
    deb=$(ls "$project"/build/default/packages/quennet-update_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { echo "no .deb of this host in build/default/packages"; return 1; }
    cp "$deb" "$root$work/host.deb"
    "${in_root[@]}" bash -c "dpkg -i $work/host.deb >/dev/null && quennet-update --version; status=\$?; dpkg -r quennet-update >/dev/null; exit \$status"
}
# Only what the packages need is built for arm64 here; the arm64 suite runs
# on the host (scripts/test-arm64.sh).
arm64_packages() {
    "${in_root[@]}" bash -c "cd $work && scripts/install-packages.sh --arm64 >/dev/null && cmake --preset arm64 >/dev/null &&
        { cmake --build --preset arm64 --target quennet-update quennet_package_files >build-arm64.log 2>&1 ||
          { tail -n 30 build-arm64.log; exit 1; }; } && { ! grep -B2 -A8 'warning:' build-arm64.log; } &&
        ctest --preset arm64 -R '^package\\.(pack|lintian|reproducible|rpm)\$' && source scripts/lib.sh &&
        tools_all_there build/arm64 &&
        echo \"the arm64 program: \$(readelf -n build/arm64/quennet-update | grep -o 'AArch64 feature: .*')\""
}
check "debian13: build (warning-free) and tests of the normal preset, with the package checks" build_and_test
check "debian13: the Debian 12 package installed and run" host_package
check "debian13: the arm64 packages, with branch protection" arm64_packages
closing_line
