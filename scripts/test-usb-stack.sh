#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real USB stack: boots Debian's own kernel under QEMU with the Quennet as
# a USB gadget on dummy_hcd, runs the update scenarios of vm/scenarios.sh
# against the kernel's usbcore, usbhid, hid-generic and hidraw, first with the
# Linux program, then with the Windows exe from the zip under wine 10 (wine's
# own HID stack over the same kernel), then checks what each scenario left.
# Prints one line per scenario and "N passed, M failed" last; exits non-zero
# on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-packages.sh --usb-stack
cmake --preset default >/dev/null
cmake --build --preset default --target all quennet_usb_stack_tools >/dev/null

work="$root/build/usb-stack"
mkdir -p "$work"

# The Windows exe from the zip, with the test-only helpers beside it, and
# wine 10 with a fresh copy of its prefix.
echo "test machine: the Windows build (log: build/usb-stack/windows-build.log)"
scripts/windows-build.sh >"$work/windows-build.log" 2>&1 || { tail -n 30 "$work/windows-build.log"; exit 1; }
scripts/wine-root.sh
rm -rf "$work/windows" "$work/wine-prefix"
mkdir -p "$work/windows"
unzip -q build/windows/zip/quennet-update-*-windows-x64.zip quennet-update.exe -d "$work/windows"
cp build/windows/emu/cfgmgr32.dll build/windows/emu/wait-for-quennet.exe "$work/windows/"
cp -a build/wine-root/root/root/prefix "$work/wine-prefix"

# Debian's kernel, the one linux-image-amd64 points at today, unpacked.
kernel_package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$kernel_package" ] || { echo "no kernel package behind linux-image-amd64"; exit 1; }
if [ ! -f "$work/kernel/$kernel_package.unpacked" ]; then
    rm -rf "$work/kernel" && mkdir -p "$work/kernel"
    (cd "$work/kernel" && apt-get download -qq "$kernel_package" >/dev/null)
    dpkg-deb -x "$work"/kernel/"$kernel_package"_*.deb "$work/kernel/root"
    rm -f "$work"/kernel/*.deb
    touch "$work/kernel/$kernel_package.unpacked"
fi
version=${kernel_package#linux-image-}
modules="$work/kernel/root/lib/modules/$version"
vmlinuz="$work/kernel/root/boot/vmlinuz-$version"

# The initramfs: busybox, the modules with what they depend on, in an order
# that loads, and the init script.
staging="$work/initramfs"
rm -rf "$staging" && mkdir -p "$staging/modules"
cp /bin/busybox "$staging/busybox"
printf '#!/busybox sh\nexit 0\n' >"$staging/noop" && chmod +x "$staging/noop"
cp vm/init "$staging/init"
declare -A placed=()
# Debian 12 ships modules as .ko, Debian 13 compressed (.ko.xz); the guest's
# busybox loads them uncompressed.
module_file() { find "$modules" -name "$(echo "$1" | sed 's/[-_]/[-_]/g').ko*" | head -n 1; }
uncompressed() {
    case "$1" in
    *.xz) xz -dc "$1" ;;
    *.zst) zstd -qdc "$1" ;;
    *.gz) gzip -dc "$1" ;;
    *) cat "$1" ;;
    esac
}
place() {
    local name=$1 parameters=${2:-} file dependency
    [ -n "${placed[$name]:-}" ] && return 0
    file=$(module_file "$name")
    [ -n "$file" ] || { echo "test machine: no module $name in $kernel_package"; exit 1; }
    for dependency in $(modinfo -F depends "$file" | tr ',' ' '); do
        place "$dependency"
    done
    uncompressed "$file" >"$staging/modules/$name.ko"
    echo "$name $parameters" >>"$staging/modules/order"
    placed[$name]=1
}
for module in virtio_pci 9pnet_virtio 9p configfs; do place "$module"; done
place dummy_hcd "num=2"  # two controllers: two Quennets at once
for module in libcomposite usb_f_hid usbhid hid_generic; do place "$module"; done
(cd "$staging" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz")

# KVM where a short probe says it works; TCG otherwise (KVM does not work on
# machines whose processor offers no virtualisation).
accel=tcg
if [ -w /dev/kvm ] && grep -qE 'vmx|svm' /proc/cpuinfo; then accel=kvm; fi

results="$work/results"
rm -rf "$results" && mkdir -p "$results"
limit=1500  # the guest's own watchdog, seconds; the host's is a minute more
echo "test machine: $kernel_package under QEMU ($accel), scenarios from vm/scenarios.sh"
started=$(date +%s)
set +e
timeout $((limit + 60)) qemu-system-x86_64 -accel "$accel" -m 2048 -smp 2 -nodefaults -display none \
    -serial "file:$work/serial.log" -monitor none -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 quennet.project=$root quennet.limit=$limit" \
    -virtfs local,path=/usr,mount_tag=usr,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$root,mount_tag=project,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$results,mount_tag=results,security_model=none,multidevs=remap" \
    -virtfs "local,path=$root/build/wine-root/root,mount_tag=wineroot,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$work/wine-prefix,mount_tag=wineprefix,security_model=none,multidevs=remap"
qemu_status=$?
set -e
echo "test machine: ran $(($(date +%s) - started)) s, QEMU status $qemu_status"
if [ ! -f "$results/done" ]; then
    echo "test machine: the scenarios did not all run; its serial console:"
    cat "$work/serial.log"
fi
exec build/default/tests/quennet-usb-stack-check "$results"
