#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: the normal build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz target (its seeds
# and corpus, then a short campaign), what the committed corpus reaches of
# app/ and link/, the static analysers, the scenarios on the real
# Linux USB stack (a QEMU guest with the Quennet as a USB gadget), and the
# Windows suite (cross build, tests under wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --test-tools
for preset in default sanitize fuzz; do
    echo "=== $preset build ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
    # The in-process campaign's figures (fault plans, cut points).
    cat "build/$preset"/*-figures.txt 2>/dev/null || true
done
echo "=== coverage of the fuzz corpus ==="
scripts/coverage.sh
echo "=== static analysis ==="
scripts/static-analysis.sh
echo "=== the real USB stack ==="
scripts/test-usb-stack.sh
echo "=== windows ==="
scripts/test-windows.sh
