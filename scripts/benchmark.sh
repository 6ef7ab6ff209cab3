#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs complete updates against the emulated Quennet with realistic timing and
# prints what they cost. Argument: the number of runs (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quennet-bench >/dev/null
exec build/default/bench/quennet-bench "$@"
