#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Grows the committed fuzz corpus: builds the fuzz target, runs it for the
# given number of seconds (default 3600) on both cores from fuzz/corpus and
# the generated seeds, then keeps in fuzz/corpus the smallest set of inputs
# that reaches all that they reached together (libFuzzer's -merge=1), and the
# seeds themselves: in the optimised fuzz build a few source branches (one
# field of the identity test among them) have no edge of their own, so the
# merge cannot see what only a seed reaches; scripts/coverage.sh does.
# Findings (crash-*, timeout-*, oom-*) go to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --test-tools
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
fuzzer=$PWD/build/fuzz/fuzz/quennet_fuzz
seeds=$PWD/build/fuzz/fuzz/seeds
work=build/fuzz/grow
rm -rf "$work"
mkdir -p "$work/found" "$work/merged" build/fuzz/findings
(cd "$work" && "$fuzzer" -max_total_time="${1:-3600}" -max_len=16384 -timeout=20 -rss_limit_mb=4096 \
    -jobs=2 -workers=2 -print_final_stats=1 -artifact_prefix="$PWD/../findings/" \
    found "$OLDPWD/fuzz/corpus" "$seeds") || status=$?
tail -n 20 "$work"/fuzz-*.log
"$fuzzer" -merge=1 "$work/merged" fuzz/corpus "$work/found" "$seeds" >"$work/merge.log" 2>&1
rm -f fuzz/corpus/*
cp "$work"/merged/* fuzz/corpus/
for seed in "$seeds"/*; do  # named by their SHA-1, as the merge names inputs
    cp "$seed" "fuzz/corpus/$(sha1sum "$seed" | cut -d' ' -f1)"
done
echo "fuzz/corpus: $(ls fuzz/corpus | wc -l) inputs, $(du -sk fuzz/corpus | cut -f1) KB"
exit "${status:-0}"
