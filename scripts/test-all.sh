#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: the normal build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz target (its
# committed corpus, then a short campaign), what that corpus reaches of
# app/ and link/, the static analysers, the arm64 build and its suite under
# qemu-user, a packager's build without the tests in a minimal Debian 12
# root, the build, tests and packages on Debian 13 in a trixie root (with
# the Debian 12 package installed there, and the arm64 packages built and
# checked there), the scenarios on the real Linux USB stack (a QEMU guest
# with the Quennet as a USB gadget, the Linux program and then the Windows
# exe under wine 10), and the Windows suite (cross build, the exe signed
# with a test certificate, tests under the host's wine).
#
# On an arm64 machine the normal build is the arm64 one: the parts that need
# amd64 (the arm64 cross build, the packager's root, the Debian 13 root with
# wine, the x86-64 test machine, the Windows exe) are named as not run, and
# fail nothing.
#
# QUENNET_RELEASE_DIR in the environment names a release folder
# (docs/releasing.md): every build the command makes carries that release.
# Ends with "parts: N passed, 0 failed"; the first part that fails stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${QUENNET_RELEASE_DIR:-}" ]; then
    QUENNET_RELEASE_DIR=$(realpath "$QUENNET_RELEASE_DIR")
    export QUENNET_RELEASE_DIR
    echo "release: $QUENNET_RELEASE_DIR"
fi
scripts/install-packages.sh --test-tools
source scripts/lib.sh
# Runs one part and says what it cost; the first that fails ends the command.
part() {
    local name=$1 started=$SECONDS
    shift
    echo "=== $name ==="
    check "$name" "$@"
    echo "=== $name: $((SECONDS - started)) s ==="
    [ "$failed" -eq 0 ] || { echo -n "parts: "; closing_line; }
}
# (Run as a condition, so without set -e: each step says whether to go on.)
build_and_test() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1" || return 1
    tools_all_there "build/$1" || return 1
    # The in-process campaign's figures (fault plans, cut points).
    cat "build/$1"/*-figures.txt 2>/dev/null || true
}
# The two Debian roots (the packager's and the Debian 13 one that wine runs
# from) are made while the builds run, at the lowest priority, so that they
# take only what the builds and tests leave idle: fetching and unpacking
# packages waits mostly on the network and the disk. Each part that uses a
# root waits for them first; a root that failed here is made again by its
# own part, which then says why.
roots=
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    scripts/install-packages.sh --wine-root
    mkdir -p build
    nice -n 19 bash -c 'scripts/test-packager.sh --root-only && scripts/wine-root.sh' >build/test-roots.log 2>&1 &
    roots=$!
fi
roots_made() {
    [ -n "$roots" ] || return 0
    wait "$roots" || echo "the test roots made beside the builds (build/test-roots.log): $(tail -n 3 build/test-roots.log)"
    roots=
}
trap roots_made EXIT  # (a part that fails ends the command only once they are made)
for preset in default sanitize fuzz; do
    part "$preset build" build_and_test "$preset"
done
part "coverage of the fuzz corpus" scripts/coverage.sh
part "static analysis" scripts/static-analysis.sh
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    # Before the roots are needed, which gives them time; and before the
    # Windows build, whose hidapi source is asked of dpkg on a machine that
    # then has arm64 packages too.
    part "arm64" scripts/test-arm64.sh
    roots_made
    part "a packager's build" scripts/test-packager.sh
    part "debian 13" scripts/test-debian13.sh
    part "the real USB stack" scripts/test-usb-stack.sh
    part "windows" scripts/test-windows.sh
else
    for name in "arm64 (a cross build from amd64)" "a packager's build (an amd64 root)" "debian 13 (its root runs amd64's wine)" \
        "the real USB stack (an x86-64 test machine)" "windows (mingw-w64 and wine for x86-64)"; do
        echo "=== not run on $(dpkg --print-architecture): $name ==="
    done
fi
echo -n "parts: "
closing_line
