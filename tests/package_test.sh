#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the packages as a distribution would: lintian (with its
# informational tags), hardening-check and the AppStream validator on the
# .deb of a placeholder build and of a release build, the images' SHA-256 and terms in
# the package, two builds in different folders giving byte-identical .debs,
# and the RPM's files and dependencies.
#
#   package_test.sh SOURCE_DIR BUILD_DIR CHECK
# CHECK: pack | lintian | release | versions | sums | reproducible | rpm
set -euo pipefail
source_dir=$1
build_dir=$2
check=$3
packages="$build_dir/packages"
scratch="$build_dir/package-scratch"
# The release the build under test carries (revisions, sizes, placeholder).
source "$build_dir/release.env"
# A cross build's toolchain, for the builds this test makes itself, and the
# emulator that runs its programs here (QUENNET_LAUNCHER, as in its tests).
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
run_program() { ${QUENNET_LAUNCHER:+"$QUENNET_LAUNCHER"} "$@"; }

fail() {
    echo "FAILED: $*"
    exit 1
}

# The tools the checks use that the README's first command does not install,
# each with its Debian package. Where one is missing the check is skipped
# (status 77, CTest's skip) with a line that names it, which the test
# command looks for.
needs() {
    local tool package
    for tool in "$@"; do
        package=${tool#*=}
        tool=${tool%=*}
        command -v "$tool" >/dev/null ||
            { echo "Missing tool: $tool (Debian package $package); install with scripts/install-packages.sh --test-tools"; exit 77; }
    done
}
pack_tools=(rpmbuild=rpm dpkg-shlibdeps=dpkg-dev)
deb_tools=(lintian=lintian hardening-check=devscripts appstreamcli=appstream)
case "$check" in
pack | reproducible) needs "${pack_tools[@]}" ;;
lintian) needs "${deb_tools[@]}" ;;
release) needs "${pack_tools[@]}" "${deb_tools[@]}" ;;
rpm) needs rpm=rpm rpm2cpio=rpm2cpio cpio=cpio ;;
versions) needs dpkg=dpkg rpm=rpm ;;
sums) needs gpg=gpg ;;
esac

# The first file a pattern names, or nothing (and success) where it names
# none, so that the callers' "no package" guards are the ones that fail.
first_of() { [ -e "$1" ] && echo "$1"; return 0; }
deb_of() { first_of "$1"/quennet-update_*.deb; }
rpm_of() { first_of "$1"/quennet-update-*.rpm; }

# A .deb as a distribution checks it: lintian with its informational tags
# must be silent; then, unpacked into ROOT (which the caller goes on to
# read), the program's hardening as hardening-check sees it and the AppStream
# metadata as appstreamcli validates it. IMAGES says what images the package
# carries: a release's are the device's bytes, not the program's text, yet
# lintian reads words in them (the random images of the release check once
# spelled "NaM"), so there it leaves spelling alone; the program's own words
# are checked on the placeholder build, whose images are the same every time.
#   distribution_checks DEB ROOT IMAGES
distribution_checks() {
    local output root=$2 suppress=()
    [ "$3" = release ] && suppress=(--suppress-tags spelling-error-in-binary)
    output=$(lintian -I --allow-root "${suppress[@]}" "$1" 2>&1 | grep -v '^running with root privileges' || true)
    echo "lintian -I $(basename "$1"): ${output:-no tags}"
    [ -z "$output" ] || fail "lintian is not silent"
    rm -rf "$root" && mkdir -p "$root" && dpkg-deb -x "$1" "$root"
    # Which checks apply is the package's architecture, not this machine's.
    # Control-flow protection is x86's (IBT and SHSTK) and needs every object
    # linked in to carry it, the C library's startup files included: where
    # the distribution's own programs lack it (Debian 12), no program built
    # here can have it. Branch protection is AArch64's (BTI and PAC); Debian
    # 13's hardening-check asks for it on every architecture.
    local skip=() architecture
    architecture=$(dpkg-deb -f "$1" Architecture)
    if [ "$architecture" != amd64 ] || [[ "$(readelf -n /usr/bin/dpkg)" != *'x86 feature: IBT, SHSTK'* ]]; then
        skip=(--nocfprotection)
    fi
    if [ "$architecture" != arm64 ] && [[ "$(hardening-check --help 2>&1)" == *nobranchprotection* ]]; then
        skip+=(--nobranchprotection)
    fi
    # (On an arm64 package, this machine's objdump cannot disassemble and
    # says so: hardening-check's stack-clash line, x86's pattern, is then
    # "unknown", as it is for any arm64 program.)
    hardening-check "${skip[@]}" "$root/usr/bin/quennet-update" || fail "hardening-check"
    appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml || fail "AppStream metadata"
    grep -q '<modalias>usb:v0451p5B3E\*</modalias>' "$root"/usr/share/metainfo/*.metainfo.xml || fail "no modalias"
}

# Configures and builds only what a package needs, in a folder of its own.
build_packages() {
    local dir=$1
    shift
    rm -rf "$dir"
    cmake -S "$source_dir" -B "$dir" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUENNET_BUILD_EMULATOR=OFF "$@" >/dev/null
    cmake --build "$dir" -j2 --target quennet-update quennet_package_files >/dev/null
    (cd "$dir" && cpack -G DEB >/dev/null && cpack -G RPM >/dev/null)
}

case "$check" in
pack)
    rm -rf "$packages"
    # Build, then pack: a build folder configured before the last commit
    # configures again here, outside cpack, whose own environment carries
    # the time of the commit it was configured at.
    cmake --build "$build_dir" --target quennet-update quennet_package_files >/dev/null || fail "the build before packing"
    (cd "$build_dir" && cpack -B "$packages" >/dev/null)
    [ -n "$(deb_of "$packages")" ] || fail "cpack made no .deb in $packages"
    [ -n "$(rpm_of "$packages")" ] || fail "cpack made no RPM in $packages"
    deb_of "$packages"
    rpm_of "$packages"
    ;;
lintian)
    deb=$(deb_of "$packages")
    [ -n "$deb" ] || fail "no .deb in $packages"
    root="$scratch/build-root"
    kind=release
    [ "$QUENNET_PLACEHOLDER" = 1 ] && kind=placeholder
    distribution_checks "$deb" "$root" "$kind"
    version=$(dpkg-deb -f "$deb" Version)
    [ "$version" = "$QUENNET_PACKAGE_VERSION" ] || fail "version $version, not $QUENNET_PACKAGE_VERSION"
    if [ "$kind" = placeholder ]; then
        run_program "$build_dir/quennet-update" --version | grep -q 'placeholder images, not a release' || fail "--version hides the placeholders"
        grep -q 'placeholder images instead, which carry no terms' "$root/usr/share/doc/quennet-update/copyright" ||
            fail "the copyright file does not say the images are placeholders"
    else
        run_program "$build_dir/quennet-update" --version | grep -q "the release's images" || fail "--version of a release"
    fi
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    [[ "$depends" == *libhidapi-hidraw0* && "$depends" == *libsystemd0* && "$depends" == *libc6* ]] ||
        fail "dependencies not computed from the binary"
    # The .deb's rule gives the Quennet to the group plugdev too, which
    # every Debian system has; the .deb's rule is the source's.
    # uaccess is applied by 73-seat-late.rules: the rule's name sorts before it.
    cmp "$root/usr/lib/udev/rules.d/70-quennet-update.rules" "$source_dir/packaging/70-quennet-update.rules" ||
        fail "the .deb's udev rule is not packaging/70-quennet-update.rules"
    grep -q 'TAG+="uaccess", GROUP="plugdev", MODE="0660"$' "$root/usr/lib/udev/rules.d/70-quennet-update.rules" ||
        fail "the .deb's udev rule does not give the Quennet to plugdev"
    doc="$root/usr/share/doc/quennet-update"
    grep -q '^License: MIT' "$doc/copyright" || fail "no MIT licence in the copyright file"
    zcat "$root/usr/share/man/man1/quennet-update.1.gz" | grep -q '^.TH QUENNET-UPDATE 1' || fail "manual page"
    # Each image by its SHA-256, named by its revision and kind.
    for name in mainboard control; do
        revision=QUENNET_${name^^}_REVISION
        grep -q "  $name-v${!revision}-$kind\.bin$" "$doc/images.sha256" || fail "images.sha256 does not name $name"
    done
    if [ "$kind" = placeholder ]; then
        for name in mainboard control; do
            sum=$(sha256sum "$build_dir/payload/${name}_image.bin" | cut -d' ' -f1)
            grep -q "^$sum  $name-" "$doc/images.sha256" || fail "images.sha256 lacks $name ($sum)"
        done
    fi
    ;;
release)
    # A build of another release than the one under test, from a release
    # folder: other revisions, another entry code, other images, with their
    # terms. Its banner, --version, package version and images.sha256 show it.
    dir="$scratch/release"
    release="$scratch/release-input"
    rm -rf "$release" && mkdir -p "$release"
    head -c "$QUENNET_MAINBOARD_IMAGE_SIZE" /dev/urandom >"$release/mainboard.bin"
    head -c "$QUENNET_CONTROL_IMAGE_SIZE" /dev/urandom >"$release/control.bin"
    printf 'mainboard_revision = 1.0a\ncontrol_revision = 2.c4\nbootloader_entry_code = 01 23 45 67 89 ab cd ef\n' >"$release/release.conf"
    for name in mainboard control; do
        echo "${name}_sha256 = $(sha256sum "$release/$name.bin" | cut -d' ' -f1)" >>"$release/release.conf"
    done
    printf 'The Quennet software images are distributed with the device.\n' >"$scratch/terms.txt"
    build_packages "$dir" -DQUENNET_RELEASE_DIR="$release" -DQUENNET_IMAGE_TERMS="$scratch/terms.txt"
    deb=$(deb_of "$dir")
    [ -n "$deb" ] || fail "no .deb in $dir"
    root="$scratch/release-root"
    distribution_checks "$deb" "$root" release
    [ "$(dpkg-deb -f "$deb" Version)" = "$QUENNET_PROGRAM_VERSION+mainboard1.10+control2.196" ] ||
        fail "release version $(dpkg-deb -f "$deb" Version)"
    # A release's banner is the one owners know, without a word on placeholders.
    banner=$'\n=== Calverra Quennet Update Tool ===\n\nTarget Software Revision:\n  Mainboard v1.0A\n  Control v2.C4\n\n'
    shown=$(timeout 60 ${QUENNET_LAUNCHER:+"$QUENNET_LAUNCHER"} "$dir/quennet-update" </dev/null | head -c ${#banner}; echo x)
    [ "${shown%x}" = "$banner" ] || fail "the release's banner: ${shown%x}"
    [ "$(run_program "$dir/quennet-update" --version)" = "quennet-update $QUENNET_PROGRAM_VERSION"$'\nCarries Mainboard v1.0A and Control v2.C4: the release\'s images' ] ||
        fail "--version of a release: $(run_program "$dir/quennet-update" --version)"
    grep -q '{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}' "$dir/payload/release_constants.h" ||
        fail "the release's entry code is not the build's"
    doc="$root/usr/share/doc/quennet-update"
    cmp "$doc/IMAGE-TERMS" "$scratch/terms.txt" || fail "the images' terms are not in the package"
    (cd "$release" && sed -e 's/mainboard-v1.0A-release.bin/mainboard.bin/' -e 's/control-v2.C4-release.bin/control.bin/' \
        "$doc/images.sha256" | sha256sum -c) || fail "images.sha256 does not match the release's images"
    # An image changed after configuring is checked against its pin again
    # before the next build embeds it.
    first=$(od -An -tu1 -N1 "$release/mainboard.bin")
    printf "\\$(printf %03o $(((first + 1) % 256)))" | dd of="$release/mainboard.bin" bs=1 conv=notrunc 2>/dev/null
    output=$(cmake --build "$dir" --target quennet-update 2>&1) && fail "a changed image built"
    [[ "$(tr -s ' \n' ' ' <<<"$output")" == *"mainboard.bin: its SHA-256 is "*"; release.conf pins "* ]] ||
        fail "a changed image: $output"
    ;;
versions)
    # Each release sorts above the one before it, for dpkg and for rpm: by
    # Mainboard revision first, then by Control revision, each as the number
    # major x 256 + minor; a placeholder build just below its release.
    revisions=(0.00 0.97 0.99 0.9A 0.A0 1.00 1.09 1.0A 1.10 10.00 FF.FF)
    versions=()
    for mainboard in 0.97 1.0A; do
        for control in "${revisions[@]}"; do
            versions+=("$QUENNET_PROGRAM_VERSION+mainboard$(cmake -DREVISION=$mainboard -P "$source_dir/cmake/package_revision.cmake")+control$(cmake -DREVISION=$control -P "$source_dir/cmake/package_revision.cmake")")
        done
    done
    earlier=
    for version in "${versions[@]}"; do
        for lower in ${earlier:+"$earlier"} "$version~placeholder"; do
            dpkg --compare-versions "$lower" lt "$version" || fail "dpkg sorts $lower at or above $version"
            [ "$(rpm --eval "%{lua: print(rpm.vercmp('$lower', '$version'))}")" = -1 ] || fail "rpm sorts $lower at or above $version"
        done
        earlier=$version
    done
    echo "in order for dpkg and rpm: ${versions[0]} ... ${versions[-1]} (${#versions[@]} versions)"
    ;;
sums)
    # What an owner downloads, with its checksums and their signature, made
    # with a key made here in a GnuPG home of its own.
    dir="$scratch/sums"
    rm -rf "$dir" && mkdir -p "$dir/gnupg" && chmod 700 "$dir/gnupg"
    export GNUPGHOME="$dir/gnupg"
    trap 'gpgconf --kill gpg-agent 2>/dev/null || true' EXIT  # the agent gpg starts outlives the test otherwise
    gpg --batch --quiet --passphrase '' --quick-gen-key 'Quennet release test <release-test@harlowmere-audio.invalid>' \
        ed25519 sign 1d 2>/dev/null || fail "no test key"
    deb=$(deb_of "$packages")
    rpm=$(rpm_of "$packages")
    [ -n "$deb" ] && [ -n "$rpm" ] || fail "no .deb or RPM in $packages"
    cp "$deb" "$rpm" "$dir"
    printf 'a zip\n' >"$dir/quennet-update-$QUENNET_PACKAGE_VERSION-windows-x64.zip"
    QUENNET_SIGNING_KEY=release-test@harlowmere-audio.invalid "$source_dir/scripts/release-sums.sh" "$dir" >/dev/null ||
        fail "release-sums.sh"
    [ "$(wc -l <"$dir/SHA256SUMS")" = 3 ] || fail "SHA256SUMS names $(wc -l <"$dir/SHA256SUMS") files, not 3"
    (cd "$dir" && sha256sum -c SHA256SUMS) || fail "sha256sum -c"
    gpg --batch --verify "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" || fail "gpg --verify"
    # A download changed after signing fails both.
    printf 'another zip\n' >"$dir/quennet-update-$QUENNET_PACKAGE_VERSION-windows-x64.zip"
    ! (cd "$dir" && sha256sum -c --quiet SHA256SUMS 2>/dev/null) || fail "sha256sum -c passes a changed zip"
    echo "# changed" >>"$dir/SHA256SUMS"
    ! gpg --batch --verify "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" 2>/dev/null || fail "gpg --verify passes a changed SHA256SUMS"
    ;;
reproducible)
    # The same sources, another folder, another time: the same .deb. The
    # README's script builds in a folder of its own (try-emulated) with this
    # build's configuration; where it has not, a build is made for this.
    dir="$build_dir/try-emulated"
    if [ -f "$dir/CMakeCache.txt" ]; then
        cmake --build "$dir" -j2 --target quennet-update quennet_package_files >/dev/null &&
            (cd "$dir" && rm -f quennet-update_*.deb && cpack -G DEB >/dev/null) || fail "packing in $dir"
    else
        dir="$scratch/again"
        build_packages "$dir"
    fi
    first=$(deb_of "$packages")
    second=$(deb_of "$dir")
    [ -n "$first" ] && [ -n "$second" ] || fail "no .deb in $packages or $dir"
    if ! cmp "$first" "$second"; then
        mkdir -p "$scratch/a" "$scratch/b"
        (cd "$scratch/a" && rm -rf ./* && ar x "$first")
        (cd "$scratch/b" && rm -rf ./* && ar x "$second")
        for member in $(ls "$scratch/a"); do
            cmp -s "$scratch/a/$member" "$scratch/b/$member" || {
                echo "member $member differs:"
                diff <(tar tvf "$scratch/a/$member" 2>/dev/null) <(tar tvf "$scratch/b/$member" 2>/dev/null) || true
            }
        done
        fail "two builds of the same sources give different packages"
    fi
    echo "identical: $(basename "$first") ($(stat -c %s "$first") bytes)"
    ;;
rpm)
    rpm=$(rpm_of "$packages")
    [ -n "$rpm" ] || fail "no .rpm in $packages"
    files=$(rpm -qlp "$rpm" 2>/dev/null)
    echo "$files"
    for file in /usr/bin/quennet-update /usr/lib/udev/rules.d/70-quennet-update.rules \
        /usr/share/metainfo/com.harlowmere.quennet_update.metainfo.xml /usr/share/man/man1/quennet-update.1.gz /usr/share/licenses/quennet-update/LICENSE \
        /usr/share/doc/quennet-update/images.sha256; do
        grep -qx "$file" <<<"$files" || fail "the RPM lacks $file"
    done
    ! grep -qE '^/usr/share/man$|^/usr/lib/udev$' <<<"$files" || fail "the RPM claims folders the system owns"
    # Fedora and openSUSE have no group plugdev: the RPM's rule names none,
    # so that udev does not warn of an unknown group at every plug-in.
    mkdir -p "$scratch"  # (the checks run in any order)
    rule=$(cd "$scratch" && rpm2cpio "$rpm" | cpio -i --quiet --to-stdout ./usr/lib/udev/rules.d/70-quennet-update.rules |
        sed '/^#/d')
    [[ "$rule" == *'TAG+="uaccess"' ]] || fail "the RPM's udev rule: $rule"
    [[ "$rule" != *GROUP* && "$rule" != *MODE* && "$rule" != *plugdev* ]] || fail "the RPM's udev rule names a group or mode"
    requires=$(rpm -qp --requires "$rpm" 2>/dev/null)
    grep -q '^libhidapi-hidraw.so.0()(64bit)$' <<<"$requires" || fail "the RPM does not require hidapi's hidraw library"
    grep -q '^libsystemd.so.0()(64bit)$' <<<"$requires" || fail "the RPM does not require libsystemd (the sleep lock)"
    [ "$(rpm -qp --queryformat '%{LICENSE}' "$rpm" 2>/dev/null)" = MIT ] || fail "the RPM's licence is not MIT"
    ;;
*)
    fail "unknown check $check"
    ;;
esac
echo "passed: $check"
