#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Grows the committed fuzz corpus: builds the fuzz target, runs it for the
# given number of seconds (default 3600) on both cores from fuzz/corpus, then
# adds to fuzz/corpus the inputs it found that reach something the corpus
# did not (libFuzzer's -merge=1 into the corpus itself). No input already
# there is taken out: in the optimised fuzz build a few source branches (one
# field of the identity test among them) have no edge of their own, so a
# merge from scratch could drop the only input that reaches one;
# scripts/coverage.sh names any branch the corpus no longer reaches.
# Findings (crash-*, timeout-*, oom-*) go to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --test-tools
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
fuzzer=$PWD/build/fuzz/fuzz/quennet_fuzz
work=build/fuzz/grow
rm -rf "$work"
mkdir -p "$work/found" build/fuzz/findings
(cd "$work" && "$fuzzer" -max_total_time="${1:-3600}" -max_len=16384 -timeout=20 -rss_limit_mb=4096 \
    -jobs=2 -workers=2 -print_final_stats=1 -artifact_prefix="$PWD/../findings/" \
    found "$OLDPWD/fuzz/corpus") || status=$?
tail -n 20 "$work"/fuzz-*.log
"$fuzzer" -merge=1 fuzz/corpus "$work/found" >"$work/merge.log" 2>&1
echo "fuzz/corpus: $(ls fuzz/corpus | wc -l) inputs, $(du -sk fuzz/corpus | cut -f1) KB"
exit "${status:-0}"
