#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds quennet-update and quennet-emu (nothing else) and runs the program
# against the emulated Quennet on this terminal, with the timing of a real
# device. Options go to quennet-emu (see: build/default/emu/quennet-emu
# --help), e.g. --mainboard 0.90 or --fault stop@index=700. As with a real
# Quennet, once you have answered y a Ctrl+C or a closed terminal leaves the
# update running to its end. QUENNET_TRY_BUILD_DIR names another build
# folder than build/default (the tests use one of their own), and
# QUENNET_LAUNCHER an emulator that runs that build's programs here (the
# arm64 build's tests on amd64 use qemu-aarch64).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
build=${QUENNET_TRY_BUILD_DIR:-build/default}
echo "Building quennet-update and the emulated Quennet (quennet-emu) in $build:"
echo "about 10 seconds the first time on two cores, a second after that."
if [ "$build" = build/default ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target quennet-emu
else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target quennet-emu
fi
echo
exec ${QUENNET_LAUNCHER:+"$QUENNET_LAUNCHER"} "$build/emu/quennet-emu" --realistic "$@"
