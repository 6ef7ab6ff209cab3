#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A longer fuzz campaign than the test command's: builds the fuzz target and
# runs it for the given number of seconds (default 3600) on both cores,
# keeping what it finds in fuzz-corpus/ (crashes as crash-* files).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --test-tools
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
mkdir -p fuzz-corpus
exec build/fuzz/fuzz/quennet_fuzz -max_total_time="${1:-3600}" -max_len=16384 -timeout=20 -rss_limit_mb=4096 \
    -jobs=2 -workers=2 -print_final_stats=1 -artifact_prefix=fuzz-corpus/ fuzz-corpus build/fuzz/fuzz/seeds
