#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds quennet-update and quennet-emu (nothing else) and runs the program
# against the emulated Quennet on this terminal, with the timing of a real
# device. Options go to quennet-emu (see: build/default/emu/quennet-emu
# --help), e.g. --mainboard 0.90 or --fault stop@index=700.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
echo "Building quennet-update and the emulated Quennet (quennet-emu) in build/default:"
echo "about 10 seconds the first time on two cores, a second after that."
cmake --preset default >/dev/null
cmake --build --preset default --target quennet-emu
echo
exec build/default/emu/quennet-emu --realistic "$@"
