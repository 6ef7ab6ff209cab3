#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds quennet-update and runs it against the emulated Quennet on this
# terminal, with the timing of a real device. Options go to quennet-emu
# (see: build/default/emu/quennet-emu --help), e.g. --mainboard 0.90.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec build/default/emu/quennet-emu --realistic "$@"
