#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building and trying quennet-update need;
# with --test-tools also those the tests need (the fuzz build's clang and its
# libFuzzer runtime, the static analysers, groff for the manual page, lintian,
# hardening-check, appstreamcli, rpm, a private D-Bus with a stand-in for
# logind), or with --package-tools only those of
# the package checks; with --usb-stack those of the test machine on the real USB stack
# (QEMU, busybox); with --windows those of the Windows cross build and its
# tests (mingw-w64, wine); with --wine-root debootstrap, for the root from
# which the test machine runs wine 10; with --arm64 the arm64 cross build
# (Debian's cross compiler, the arm64 libraries beside this machine's own,
# qemu-user to run the arm64 tests, without registering it with the kernel),
# and umockdev's arm64 files unpacked into build/arm64-deps.
# Installs only what is missing, so running it again does nothing. With
# --names it only lists the packages that the README's first command installs.
set -euo pipefail

packages=(g++ cmake make pkg-config libhidapi-dev libsystemd-dev libgtest-dev umockdev libumockdev-dev libglib2.0-dev)
case "${1:-}" in
--names)
    # The packages the README's first command installs, one per line.
    printf '%s\n' "${packages[@]}"
    exit 0
    ;;
--test-tools)
    # Unversioned names: each Debian release's default clang and LLVM tools.
    # devscripts for hardening-check, appstream for appstreamcli.
    # gpg for the signed checksums.
    packages+=(clang libclang-rt-dev llvm clang-tidy cppcheck groff-base lintian rpm rpm2cpio cpio dpkg-dev devscripts appstream dbus-daemon python3-dbusmock gpg)
    ;;
--package-tools)
    # The package checks and the sleep-lock tests, for the Debian 13 root.
    packages+=(groff-base lintian rpm rpm2cpio cpio dpkg-dev devscripts appstream git dbus-daemon python3-dbusmock gpg)
    ;;
--usb-stack)
    # QEMU, a static busybox and cpio for the test machine, kmod for modinfo,
    # udev for the guest's systemd-udevd, xz and zstd for compressed kernel
    # modules, procps for the scenarios' pkill.
    packages+=(qemu-system-x86 busybox-static cpio kmod udev libgtest-dev unzip xz-utils zstd procps)
    ;;
--wine-root)
    # A Debian trixie root for wine 10 in the test machine.
    packages+=(debootstrap)
    ;;
--arm64)
    # qemu-user without its binfmt package: the tests start every arm64
    # program through qemu-aarch64 themselves. googletest's sources are built
    # for the target.
    packages+=(g++-aarch64-linux-gnu qemu-user googletest libc6:arm64 libstdc++6:arm64 libhidapi-dev:arm64
               libsystemd-dev:arm64 libglib2.0-dev:arm64 libumockdev0:arm64)
    ;;
--windows)
    # The posix thread model: GoogleTest needs std::mutex.
    # groff renders the owner's guide as README.txt; openssl and osslsigncode
    # sign the exe with a test certificate.
    packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 dpkg-dev googletest unzip bsdutils groff-base
               openssl osslsigncode)
    ;;
esac

# Installed for this machine's own architecture (or for all): on a machine
# with a foreign architecture added, a package installed only for that one
# does not count. A name that gives its architecture counts as it says.
native=$(dpkg --print-architecture)
installed() {
    local want="$native|all"
    [[ "$1" == *:* ]] && want="[^ ]+"
    dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null | grep -qE "^install ok installed ($want)\$"
}
# Debian 12's libumockdev-dev and umockdev (which holds the preload library)
# cannot be installed for two architectures at once: the arm64 ones are
# unpacked into a folder of their own, their pkg-config file pointed there.
unpack_arm64_umockdev() {
    local deps package
    deps="$(dirname "$0")/../build/arm64-deps"
    [ -f "$deps/usr/lib/aarch64-linux-gnu/pkgconfig/umockdev-1.0.pc" ] && return 0
    rm -rf "$deps" && mkdir -p "$deps/debs" && chmod 777 "$deps/debs"
    (cd "$deps/debs" && apt-get download -qq libumockdev-dev:arm64 umockdev:arm64 >/dev/null)
    for package in "$deps"/debs/*.deb; do
        dpkg-deb -x "$package" "$deps"
    done
    sed -i "s|^prefix=/usr\$|prefix=$(realpath "$deps")/usr|" "$deps/usr/lib/aarch64-linux-gnu/pkgconfig/umockdev-1.0.pc"
    ln -sf /usr/lib/aarch64-linux-gnu/libumockdev.so.0 "$deps/usr/lib/aarch64-linux-gnu/libumockdev.so"
}

if [ "${1:-}" = --arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture arm64; else sudo dpkg --add-architecture arm64; fi
fi
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    [ "${1:-}" != --arm64 ] || unpack_arm64_umockdev
    exit 0
fi

run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
echo "Installing Debian packages (a minute or a few the first time): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update -qq
"${run_as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
[ "${1:-}" != --arm64 ] || unpack_arm64_umockdev
