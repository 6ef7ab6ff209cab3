#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The program on arm64 (64-bit Raspberry Pi OS, ARM laptops and boards), from
# this amd64 machine: the arm64 cross build (preset arm64) and its normal
# suite under qemu-user (a tenth of the campaign, and not the README's
# script), the real executable and quennet-emu started through qemu-aarch64
# (QUENNET_LAUNCHER) without any binfmt handler; the arm64 .deb and RPM
# checked as the amd64 ones are; the in-process campaign and the fuzz corpus
# giving the amd64 builds' figures; the first command's emulated update by the
# arm64 programs; and an arm64 candidate for every package that the first
# command installs. Run after the normal build (build/default) and the
# sanitize build (build/sanitize), whose figures it compares. Ends with "N
# passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
scripts/install-packages.sh --test-tools
scripts/install-packages.sh --arm64

# Two package checks build the program again and test nothing of the
# processor's: the Debian 13 part compares two arm64 builds, and a build of
# another release is the same CMake on every processor (the amd64 build runs
# it). The README's first command on arm64 is emulated_update below.
not_here=(
    "package.reproducible: two arm64 builds are compared in the Debian 13 part"
    "package.release: another release's build is the same on every processor; the amd64 build checks it"
    "try_emulated: the script is the same on every processor; the arm64 programs' update is checked below"
)
build_and_test() {
    cmake --preset arm64 >/dev/null &&
        { cmake --build --preset arm64 >build/arm64.log 2>&1 || { tail -n 30 build/arm64.log; return 1; }; } &&
        { ! grep -B2 -A8 'warning:' build/arm64.log; } &&
        ctest --preset arm64 -E '^(package\.(reproducible|release)|try_emulated\..*)$' || return 1
    tools_all_there build/arm64 || return 1
    printf 'not run on arm64 here: %s\n' "${not_here[@]}"
}
# A reply byte read through a plain char (signed on amd64, unsigned on
# arm64) would change these: both campaigns and the replay feed every value.
# The arm64 suite runs a tenth of the campaign, as the sanitize build does.
same_figures() {
    local name amd64 status=0
    for name in sanitize/campaign-figures.txt sanitize/cut-point-figures.txt default/fuzz-replay-figures.txt; do
        amd64=build/$name
        if [ ! -f "$amd64" ] || [ ! -f "build/arm64/${name#*/}" ]; then
            echo "no $amd64 or build/arm64/${name#*/}"
            status=1
        elif cmp -s "$amd64" "build/arm64/${name#*/}"; then
            echo "the same on amd64 and arm64: $(head -n 1 "$amd64")"
        else
            diff "$amd64" "build/arm64/${name#*/}"
            status=1
        fi
    done
    return $status
}
# scripts/try-emulated.sh's own run, with its options, answered y.
emulated_update() {
    local output
    output=$(printf 'y\nx\n' | QUENNET_LAUNCHER=/usr/bin/qemu-aarch64 timeout 120 \
        qemu-aarch64 build/arm64/emu/quennet-emu --realistic 2>&1 | tail -n 1)
    echo "$output"
    [[ "$output" == *'exit status 0;'*'it holds the release this build carries' ]]
}
# What scripts/try-emulated.sh installs exists for arm64, in this machine's
# Debian release.
arm64_candidates() {
    local package candidate status=0
    for package in $(scripts/install-packages.sh --names); do
        candidate=$(apt-cache policy "$package:arm64" | sed -n 's/^ *Candidate: //p')
        echo "$package:arm64 ${candidate:-none}"
        [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || status=1
    done
    return $status
}
check "arm64: build (warning-free) and the normal suite under qemu-user" build_and_test
check "arm64: the campaign's and the fuzz corpus's figures are amd64's" same_figures
check "arm64: quennet-emu and quennet-update complete the first command's update" emulated_update
check "arm64: every package the first command installs has an arm64 candidate" arm64_candidates
closing_line
